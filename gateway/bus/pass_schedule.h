// When a bus's passes begin: `interval_s` apart, start to start. A pass
// that begins late (a command ran first) does not move the next one. A
// pass that ends after the next was due makes the next begin at once and
// the schedule start again from it, never a burst of passes to catch up;
// when a pass alone took longer than the interval, the bus has fallen
// behind, which is told once (until the interval or the units change).
//
// A rule over times: every time is an argument, nothing reads the clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace gw::bus {

// A pass that took longer than the interval.
struct Overrun {
  std::chrono::microseconds took{};
  int polled = 0;  // units polled in it
};

// ": a pass took 41.5 ms against an interval of 30.0 ms (1 unit); polling
// back to back", to follow "bus PORT".
std::string overrun_text(const Overrun& overrun, double interval_s);

class PassSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // The first pass is due at `first`.
  PassSchedule(double interval_s, Clock::time_point first);

  // A reload: the new interval from the next pass on; a bus that falls
  // behind it says so again.
  void set_interval(double interval_s);
  double interval_s() const { return interval_s_; }

  // When the next pass is due.
  Clock::time_point next() const { return next_; }
  // The next pass is due at `now` at the latest (the port came back).
  void bring_forward(Clock::time_point now) { next_ = std::min(next_, now); }
  // The next pass begins: from now on it is the pass under way.
  void begin() { due_ = next_; }
  // When the pass under way was due, whether it began then or later.
  Clock::time_point due() const { return due_; }

  // The pass under way, begun at `began`, ended at `now` having polled
  // `polled` units (one or more), a unit not answering among them when
  // `tried_lost`. Sets the next pass's time; an overrun to be told, once.
  std::optional<Overrun> passed(Clock::time_point began, Clock::time_point now, int polled,
                                bool tried_lost);
  // The pass under way polled nobody (every unit backing off): the next
  // begins when the first of them is due (`earliest_try`), at most
  // max(interval, kIdlePassS) after `now`.
  void passed_idle(Clock::time_point now, std::optional<Clock::time_point> earliest_try);

  // The longest an idle bus waits before it looks again, at least (s):
  // at interval 0 it does not spin.
  static constexpr double kIdlePassS = 0.5;

 private:
  double interval_s_;
  Clock::time_point due_;
  Clock::time_point next_;
  bool told_overrun_ = false;
};

}  // namespace gw::bus
