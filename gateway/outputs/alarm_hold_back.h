// Which alarm changes to tell, and when: a change is told once it has
// lasted the hold time (notify's "min_duration_s"), so that a flag that
// flaps tells nobody; a change undone within the hold is dropped with the
// change that undid it. With no hold every change is told at once. The
// event log and the history keep every change either way. Pure: the
// caller gives the time.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gateway/state/event_stream.h"

namespace gw::outputs {

class AlarmHoldBack {
 public:
  using Clock = std::chrono::steady_clock;

  explicit AlarmHoldBack(Clock::duration hold) : hold_(hold) {}

  // An alarm raised or cleared, seen at `now`.
  void change(const state::AlarmChanged& event, Clock::time_point now);
  // The changes that have lasted the hold by `now`, in the order they
  // happened; each is handed out once.
  std::vector<state::AlarmChanged> due(Clock::time_point now);
  // When the next held change falls due; nothing when none waits.
  std::optional<Clock::time_point> next_due() const;

 private:
  struct Signal {
    std::optional<bool> told;  // raised or cleared as last told; nothing before the first
    std::optional<std::pair<state::AlarmChanged, Clock::time_point>> held;  // and when it falls due
  };

  const Clock::duration hold_;
  std::map<std::pair<std::string, std::string>, Signal> signals_;  // by unit and signal id
  std::vector<state::AlarmChanged> ready_;                         // told at once (no hold)
};

}  // namespace gw::outputs
