#include "gateway/bus/pass_schedule.h"

#include <algorithm>
#include <cstdio>

namespace gw::bus {
namespace {

PassSchedule::Clock::duration seconds(double value) {
  return std::chrono::duration_cast<PassSchedule::Clock::duration>(
      std::chrono::duration<double>(value));
}

}  // namespace

std::string overrun_text(const Overrun& overrun, double interval_s) {
  char text[160];
  std::snprintf(text, sizeof text,
                ": a pass took %.1f ms against an interval of %.1f ms (%d unit%s); "
                "polling back to back",
                static_cast<double>(overrun.took.count()) / 1000.0, interval_s * 1000,
                overrun.polled, overrun.polled == 1 ? "" : "s");
  return text;
}

PassSchedule::PassSchedule(double interval_s, Clock::time_point first)
    : interval_s_(interval_s), due_(first), next_(first) {}

void PassSchedule::set_interval(double interval_s) {
  interval_s_ = interval_s;
  told_overrun_ = false;  // the new interval or units may be held, or not
}

std::optional<Overrun> PassSchedule::passed(Clock::time_point began, Clock::time_point now,
                                            int polled, bool tried_lost) {
  next_ = due_ + seconds(interval_s_);
  if (now <= next_) return std::nullopt;
  // Behind: the next pass begins now, and the schedule from it. Passes
  // missed are not made up in a burst.
  next_ = now;
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(now - began);
  // A unit not answering costs a pass its response timeout now and then
  // (the back-off's price, not the bus's load); interval 0 asks for passes
  // back to back.
  if (interval_s_ <= 0 || tried_lost || told_overrun_ || took <= seconds(interval_s_))
    return std::nullopt;
  told_overrun_ = true;
  return Overrun{took, polled};
}

void PassSchedule::passed_idle(Clock::time_point now,
                               std::optional<Clock::time_point> earliest_try) {
  next_ = now + seconds(std::max(interval_s_, kIdlePassS));
  if (earliest_try) next_ = std::min(next_, *earliest_try);
}

}  // namespace gw::bus
