// Times as the gateway shows them to people and programs: ISO 8601 in
// local time with the offset from UTC, e.g. 2024-05-01T12:00:05+02:00.
#pragma once

#include <chrono>
#include <string>

namespace gw::base {

using SystemTime = std::chrono::system_clock::time_point;

// Whole seconds, or milliseconds with `millis`.
std::string iso_time(SystemTime time, bool millis = false);

}  // namespace gw::base
