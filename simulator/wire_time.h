// The time that frames take on a Modbus RTU line, without any I/O.
//
// A character takes 1 start bit, the data bits, a parity bit unless the
// parity is none, and the stop bits: 10 bits at 8N1, 11 at 8E1 or 8N2, so
// 1.042 ms at 9600 baud. Frames are separated by a silent interval of 3.5
// characters (3.65 ms at 9600 8N1), or 1.75 ms at any rate above 19,200
// baud, where 3.5 characters would be too short for the receiving end to
// tell apart from a pause between characters.
//
// A pseudo-terminal moves a whole frame at once. WireClock keeps the line's
// time instead: a frame whose first byte came in at T started on the wire
// at T, or when the line was next free (the silent interval after the
// frame before it, in either direction), and was there when its last
// character had arrived. A reply starts a turnaround after the request's
// end, never before the silent interval.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace sim {

// CLOCK_MONOTONIC, the clock that the absolute sleeps of the paced line
// wait on (clock_nanosleep with TIMER_ABSTIME).
struct MonotonicClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};
using TimePoint = MonotonicClock::time_point;
using Nanoseconds = std::chrono::nanoseconds;

// How characters are framed on the line.
struct Framing {
  int baud = 9600;
  char parity = 'N';  // 'N', 'E' or 'O'
  int data_bits = 8;  // 5 to 8
  int stop_bits = 1;  // 1 or 2
};

int bits_per_character(const Framing& framing);
Nanoseconds character_time(const Framing& framing);
Nanoseconds silent_interval(const Framing& framing);

// When a frame is on the wire: its first character starts at `start`, its
// last one has arrived at `end`.
struct FrameTimes {
  TimePoint start;
  TimePoint end;
};

// How soon the other end sent after a frame of this end, for the log: a
// master's turnaround after a reply.
struct Turnarounds {
  long count = 0;
  long within_interval = 0;  // sent before the silent interval had passed
  Nanoseconds total{0};
  Nanoseconds longest{0};
};

// The line's timeline as one end of it sees it: the frames that come in and
// the frames that this end sends.
class WireClock {
 public:
  // `turnaround`: from the end of a request to the start of its reply; the
  // silent interval when shorter.
  WireClock(const Framing& framing, Nanoseconds turnaround);

  Nanoseconds character_time() const { return character_; }
  Nanoseconds silent_interval() const { return silent_; }

  // A frame of `length` characters whose bytes came in from `first_seen` to
  // `last_seen`: it started when they began to come or when the line was
  // free, whichever is later, and took `length` characters from there.
  FrameTimes frame_in(TimePoint first_seen, TimePoint last_seen, size_t length);

  // The earliest start of the reply to a request that ended at `request_end`.
  TimePoint reply_start(TimePoint request_end) const;

  // The moment the character at `index` (from 0) of a frame that starts at
  // `start` has left completely: start + (index + 1) characters.
  TimePoint character_sent(TimePoint start, size_t index) const;

  // A frame that this end sent went out completely at `end`: the line is
  // quiet for a silent interval after it.
  void frame_out(TimePoint end);

  const Turnarounds& turnarounds() const { return turnarounds_; }

 private:
  Nanoseconds character_;
  Nanoseconds silent_;
  Nanoseconds turnaround_;
  TimePoint free_at_{};                // the end of the last frame plus the silent interval
  std::optional<TimePoint> sent_end_;  // the end of this end's last frame, until the next comes in
  Turnarounds turnarounds_;
};

}  // namespace sim
