#include "gateway/outputs/alarm_hold_back.h"

#include <algorithm>

namespace gw::outputs {

void AlarmHoldBack::change(const state::AlarmChanged& event, Clock::time_point now) {
  Signal& signal = signals_[{event.unit, event.signal_id}];
  if (hold_ <= Clock::duration::zero()) {
    signal.told = event.raised;
    ready_.push_back(event);
    return;
  }
  if (signal.held) {
    // Back as it was before the held change (which was never told): nothing
    // to tell. The same change again keeps the earlier one's time.
    if (signal.held->first.raised != event.raised) signal.held.reset();
    return;
  }
  if (signal.told == event.raised) return;
  signal.held.emplace(event, now + hold_);
}

std::vector<state::AlarmChanged> AlarmHoldBack::due(Clock::time_point now) {
  std::vector<std::pair<Clock::time_point, state::AlarmChanged>> fallen;
  for (auto& [key, signal] : signals_) {
    if (!signal.held || signal.held->second > now) continue;
    signal.told = signal.held->first.raised;
    fallen.emplace_back(signal.held->second, std::move(signal.held->first));
    signal.held.reset();
  }
  std::stable_sort(fallen.begin(), fallen.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<state::AlarmChanged> changes = std::move(ready_);
  ready_.clear();
  for (auto& [at, change] : fallen) changes.push_back(std::move(change));
  return changes;
}

std::optional<AlarmHoldBack::Clock::time_point> AlarmHoldBack::next_due() const {
  std::optional<Clock::time_point> next;
  for (const auto& [key, signal] : signals_)
    if (signal.held && (!next || signal.held->second < *next)) next = signal.held->second;
  return next;
}

}  // namespace gw::outputs
