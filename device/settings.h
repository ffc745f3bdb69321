// The mode setting that a data device reads from its settings.
#pragma once

#include <cmath>
#include <cstdlib>
#include <optional>

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
  if (!settings.isObject()) return std::nullopt;
  static constexpr char kApp[] = "appSetting";
  static constexpr char kMode[] = "b_mode";
  // Looked up without inserting: the settings are the host's.
  const Json::Value* app = settings.find(kApp, kApp + sizeof kApp - 1);
  if (app == nullptr || !app->isObject()) return std::nullopt;
  const Json::Value* mode = app->find(kMode, kMode + sizeof kMode - 1);
  if (mode == nullptr || mode->isNull() || mode->isArray() || mode->isObject()) return std::nullopt;
  if (mode->isDouble() && !std::isfinite(mode->asDouble())) return std::nullopt;
  const double number = std::atof(mode->asString().c_str());
  if (!std::isfinite(number)) return std::nullopt;
  const double whole = std::trunc(number);
  if (whole < -2147483648.0 || whole > 2147483647.0) return std::nullopt;
  return static_cast<int>(whole);
}

}  // namespace device_settings
