// The pace of one unit on its bus. A unit whose last `lost_after_rounds`
// rounds did not complete is not answering: it is lost (the gateway raises
// its alarm "comm_lost") and backs off. Its rounds are then at least
// kShortestBackoffS (or the interval, if longer) apart, start to start,
// doubling after every round that fails, up to `max_backoff_s`; its next
// completed round clears the alarm and brings its pace back.
//
// A rule over times and counts: every time is an argument, nothing reads
// the clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

#include "gateway/base/iso_time.h"  // SystemTime

namespace gw::bus {

// The bus's settings that the pace follows; a reload may change them.
struct PaceSettings {
  double interval_s = 5.0;    // from the start of a pass to the next's
  int lost_after_rounds = 3;  // rounds in a row without a completed one
  int max_backoff_s = 60;     // longest pause between rounds of a unit lost
};

// A unit became lost (`raised`) or answers again.
struct PaceChange {
  bool raised = false;
  int rounds = 0;  // raised: rounds in a row that did not complete; else those it had missed
};

class UnitPace {
 public:
  using Clock = std::chrono::steady_clock;

  // The first pause of a unit not answering, at least (s).
  static constexpr double kShortestBackoffS = 0.5;

  // Lost when the gateway last stopped: backing off from its first round,
  // which is due at `now`.
  void restore_lost(Clock::time_point now, const PaceSettings& settings);

  // A round that began at `started` (`began` on the system clock), in the
  // pass due at `pass_due`, ended; whether it `completed`. The round's own
  // time counts in the pause (start to start) but a round begun late in
  // its pass does not move the unit's next try.
  std::optional<PaceChange> after_round(bool completed, Clock::time_point started,
                                        Clock::time_point pass_due, base::SystemTime began,
                                        const PaceSettings& settings);

  // The bus's port, lost, is open again at `now`: a unit lost meanwhile
  // is tried in the next pass, not at the end of a back-off that counted
  // the port's outage.
  void port_returned(Clock::time_point now) {
    if (lost_) next_try_ = std::min(next_try_, now);
  }

  // Whether the unit is to be polled in a pass that begins `now`.
  bool due(Clock::time_point now) const { return !lost_ || now >= next_try_; }
  bool lost() const { return lost_; }
  // While lost: when its next round is due, and the pause before it (s).
  Clock::time_point next_try() const { return next_try_; }
  double backoff_s() const { return backoff_s_; }
  int failed_in_a_row() const { return failed_in_a_row_; }
  // When the first of the rounds that failed in a row began.
  const std::optional<base::SystemTime>& failing_since() const { return failing_since_; }

 private:
  void set_lost(bool lost, const PaceSettings& settings);

  int failed_in_a_row_ = 0;  // rounds since the last completed one
  std::optional<base::SystemTime> failing_since_;
  bool lost_ = false;
  double backoff_s_ = 0;  // from one round to the next, while lost
  Clock::time_point next_try_{};
};

}  // namespace gw::bus
