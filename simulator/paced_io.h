// Writing frames onto a line in the line's own time: each character when
// it would have left a serial port, against absolute deadlines on
// CLOCK_MONOTONIC, so that one late wake-up delays no later character.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "simulator/wire_time.h"

namespace sim {

// Lets this thread's timed sleeps end within about a microsecond of their
// deadline instead of the default 50 microseconds (timer slack).
void use_fine_timer_slack();

// Sleeps until `when` (CLOCK_MONOTONIC, TIMER_ABSTIME); at once if past.
void sleep_until(TimePoint when);

// Writes all of `bytes`; false on an error or a short write.
bool write_all(int fd, const uint8_t* bytes, size_t count);

// Writes `frame` so that its character i leaves at
// wire.character_sent(start, i): one at a time when due, or all that are
// due at once after a late wake-up. Returns the moment the last one went
// out, or nothing on a write error.
std::optional<TimePoint> write_paced(int fd, const std::vector<uint8_t>& frame, TimePoint start,
                                     const WireClock& wire);

}  // namespace sim
