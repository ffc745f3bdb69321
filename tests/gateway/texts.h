// The plug-in's Chinese texts that the gateway's tests expect, in one place
// (UTF-8, written as escapes to keep the sources ASCII).
#pragma once

namespace texts {
inline constexpr char kNotSupported[] = "\u4e0d\u652f\u6301\u53d8\u91cf";  // variable not supported
inline constexpr char kFloorWaterTitle[] =
    "\u7cbe\u5bc6\u7a7a\u8c03\u6c34\u6d78\u544a\u8b66";                  // water alarm
inline constexpr char kFloorWaterDetail[] = "\u6c34\u6d78\u62a5\u8b66";  // water on the floor
inline constexpr char kSetTemperature[] = "\u8bbe\u5b9a\u6e29\u5ea6";    // report: set temperature
inline constexpr char kRunState[] = "\u8fd0\u884c\u72b6\u6001";          // report: run state
inline constexpr char kRunning[] = "\u5f00\u673a";                       // running
}  // namespace texts
