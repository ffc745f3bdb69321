#include "simulator/paced_io.h"

#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace sim {
namespace {

constexpr unsigned long kFineSlackNanoseconds = 1000;

timespec to_timespec(TimePoint when) {
  const auto since_boot = when.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
  return {static_cast<time_t>(seconds.count()), static_cast<long>((since_boot - seconds).count())};
}

}  // namespace

void use_fine_timer_slack() { prctl(PR_SET_TIMERSLACK, kFineSlackNanoseconds, 0, 0, 0); }

void sleep_until(TimePoint when) {
  const timespec deadline = to_timespec(when);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

bool write_all(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

std::optional<TimePoint> write_paced(int fd, const std::vector<uint8_t>& frame, TimePoint start,
                                     const WireClock& wire) {
  size_t next = 0;
  TimePoint now = MonotonicClock::now();
  while (next < frame.size()) {
    sleep_until(wire.character_sent(start, next));
    now = MonotonicClock::now();
    size_t due = next + 1;
    while (due < frame.size() && wire.character_sent(start, due) <= now) ++due;
    if (!write_all(fd, frame.data() + next, due - next)) return std::nullopt;
    next = due;
  }
  return now;
}

}  // namespace sim
