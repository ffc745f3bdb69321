#include "gateway/state/unit_table.h"

#include <algorithm>

namespace gw {

void StateTable::set_units(const std::string& port, std::vector<UnitState> units) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_.erase(std::remove_if(units_.begin(), units_.end(),
                              [&](const UnitState& unit) { return unit.port == port; }),
               units_.end());
  for (UnitState& unit : units) units_.push_back(std::move(unit));
}

void StateTable::update_unit(const std::string& name,
                             const std::function<void(UnitState&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (UnitState& unit : units_)
    if (unit.name == name) return change(unit);
}

void StateTable::update_bus(const BusState& bus) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (BusState& known : buses_)
    if (known.port == bus.port) {
      known = bus;
      return;
    }
  buses_.push_back(bus);
}

void StateTable::set_history_source(std::function<HistoryState()> source) {
  std::lock_guard<std::mutex> lock(mutex_);
  history_source_ = std::move(source);
}

StateSnapshot StateTable::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {started_, buses_, units_, history_source_ ? history_source_() : HistoryState{}};
}

std::optional<UnitState> StateTable::unit(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const UnitState& unit : units_)
    if (unit.name == name) return unit;
  return std::nullopt;
}

}  // namespace gw
