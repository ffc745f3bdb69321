// Conversions that a data device applies to its settings and times.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

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

// Seconds from 1970-01-01 00:00:00 to `t` (a local time), clamped to what 32
// bits without sign hold: 0 for an earlier time or one that is not a date.
inline uint32_t seconds_since_1970(const boost::posix_time::ptime& t) {
  if (t.is_special()) return 0;
  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  const int64_t seconds = (t - epoch).total_seconds();
  if (seconds < 0) return 0;
  if (seconds > 0xffffffffLL) return 0xffffffffu;
  return static_cast<uint32_t>(seconds);
}

}  // namespace device_settings
