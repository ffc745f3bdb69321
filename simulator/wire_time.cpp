#include "simulator/wire_time.h"

#include <time.h>

#include <algorithm>

namespace sim {
namespace {

constexpr int kFastLineBaud = 19200;              // above it the interval is fixed
constexpr Nanoseconds kFastLineSilence{1750000};  // 1.75 ms
constexpr long kSilentHalfCharacters = 7;         // 3.5 characters
constexpr long kNanosecondsPerSecond = 1000000000L;

}  // namespace

MonotonicClock::time_point MonotonicClock::now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return time_point(duration(now.tv_sec * kNanosecondsPerSecond + now.tv_nsec));
}

int bits_per_character(const Framing& framing) {
  return 1 + framing.data_bits + (framing.parity == 'N' ? 0 : 1) + framing.stop_bits;
}

Nanoseconds character_time(const Framing& framing) {
  return Nanoseconds(bits_per_character(framing) * kNanosecondsPerSecond / framing.baud);
}

Nanoseconds silent_interval(const Framing& framing) {
  if (framing.baud > kFastLineBaud) return kFastLineSilence;
  return Nanoseconds(kSilentHalfCharacters * bits_per_character(framing) * kNanosecondsPerSecond /
                     (2L * framing.baud));
}

WireClock::WireClock(const Framing& framing, Nanoseconds turnaround)
    : character_(sim::character_time(framing)),
      silent_(sim::silent_interval(framing)),
      turnaround_(turnaround) {}

FrameTimes WireClock::frame_in(TimePoint first_seen, TimePoint last_seen, size_t length) {
  if (sent_end_) {
    const Nanoseconds turnaround = std::max(first_seen - *sent_end_, Nanoseconds(0));
    ++turnarounds_.count;
    if (turnaround < silent_) ++turnarounds_.within_interval;
    turnarounds_.total += turnaround;
    turnarounds_.longest = std::max(turnarounds_.longest, turnaround);
    sent_end_.reset();
  }
  const TimePoint start = std::max(first_seen, free_at_);
  const TimePoint end = std::max(start + character_ * static_cast<long>(length), last_seen);
  free_at_ = end + silent_;
  return {start, end};
}

TimePoint WireClock::reply_start(TimePoint request_end) const {
  return request_end + std::max(silent_, turnaround_);
}

TimePoint WireClock::character_sent(TimePoint start, size_t index) const {
  return start + character_ * static_cast<long>(index + 1);
}

void WireClock::frame_out(TimePoint end) {
  free_at_ = std::max(free_at_, end + silent_);
  sent_end_ = end;
}

}  // namespace sim
