#include "gateway/state/unit_table.h"

#include <algorithm>
#include <iterator>

namespace gw::state {

void StateTable::set_units(const std::string& port, std::vector<UnitState> units) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Where the bus's rows were, so that a reload keeps the buses' order.
  const auto first = std::find_if(units_.begin(), units_.end(),
                                  [&](const UnitState& unit) { return unit.port == port; });
  const auto place = std::distance(units_.begin(), first);
  units_.erase(
      std::remove_if(first, units_.end(), [&](const UnitState& unit) { return unit.port == port; }),
      units_.end());
  units_.insert(units_.begin() + place, std::make_move_iterator(units.begin()),
                std::make_move_iterator(units.end()));
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
  return {started_, buses_, units_, history_source_ ? history_source_() : HistoryState{},
          plugin_output_lines_.load()};
}

std::optional<UnitState> StateTable::unit(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const UnitState& unit : units_)
    if (unit.name == name) return unit;
  return std::nullopt;
}

}  // namespace gw::state
