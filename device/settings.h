// The mode setting that a data device reads from its settings.
#pragma once

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include <json/value.h>

namespace device_settings {

// The mode setting "appSetting"."b_mode" of a settings object, or nothing
// when the settings leave the mode as it is.
//
// The value's text form is read the way the C library's atof reads it (the
// leading decimal number; 0 when there is none: a boolean or "abc" gives 0)
// and truncated toward zero: "2.9" gives 2, "-1.5" gives -1. Left as it is:
// a missing "appSetting" or one that is not an object, a missing or null
// "b_mode", a "b_mode" that is an array or an object (it has no text form),
// and a number that is not finite or whose integer part does not fit an int.
inline std::optional<int> mode_setting(const Json::Value& settings) {
  // Looked up without inserting (const): the settings are the host's. A
  // missing member reads as null.
  if (settings.type() != Json::objectValue) return std::nullopt;
  const Json::Value& app = settings["appSetting"];
  if (app.type() != Json::objectValue) return std::nullopt;
  const Json::Value& mode = app["b_mode"];
  const Json::ValueType type = mode.type();
  if (type == Json::nullValue || type == Json::arrayValue || type == Json::objectValue)
    return std::nullopt;
  const std::string text = mode.asString();
  // JsonCpp writes a number that is not a number as "null", which atof
  // would read as 0.
  if (type == Json::realValue && text == "null") return std::nullopt;
  const double number = std::atof(text.c_str());
  if (!std::isfinite(number)) return std::nullopt;
  const double whole = std::trunc(number);
  if (whole < -2147483648.0 || whole > 2147483647.0) return std::nullopt;
  return static_cast<int>(whole);
}

}  // namespace device_settings
