// A bus worker's reload, carried out on the bus's thread between two passes:
// units that went are taken down, units whose configuration changed get a
// new device (their counters and last command carry over), new units are
// added, and unchanged units keep their devices and polling as they were.
#include <algorithm>

#include "gateway/base/log.h"
#include "gateway/bus/bus_worker.h"

namespace gw::bus {
namespace {

const config::UnitConfig* find_config(const std::vector<config::UnitConfig>& configs,
                                      const std::string& name) {
  for (const config::UnitConfig& config : configs)
    if (config.name == name) return &config;
  return nullptr;
}

template <typename Unit>
bool unit_in(const std::vector<Unit>& units, const std::string& name) {
  return std::any_of(units.begin(), units.end(),
                     [&](const Unit& unit) { return unit.device && unit.device->name() == name; });
}

bool listed(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

BusReloadResult BusWorker::apply(const BusReload& changes) {
  BusReloadResult result;
  link_->set_timing(changes.response_timeout_ms, changes.retries);
  options_.interval_s = changes.interval_s;
  told_overrun_ = false;  // the new interval or units may be held, or not
  options_.lost_after_rounds = changes.lost_after_rounds;
  options_.max_backoff_s = changes.max_backoff_s;

  std::vector<Unit> before = std::move(units_);
  units_.clear();
  std::map<std::string, Carried> carried = take_down_changed(changes, before, result);
  for (const auto& [name, row] : changes.arriving) {
    if (find_config(changes.units, name) == nullptr || unit_in(before, name)) continue;
    carried.emplace(name, carried_from(row));
    result.set_up_again.push_back(name);
  }
  std::vector<state::UnitState> rows;
  for (const config::UnitConfig& config : changes.units)
    place(config, before, carried, rows, result);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.clear();
    for (const Unit& unit : units_) names_.insert(unit.device->name());
  }
  table_.set_units(link_->port(), std::move(rows));
  for (Unit& unit : units_)
    if (!listed(result.unchanged, unit.device->name())) host_.reload(*unit.device);
  base::log::notice("reload on " + link_->port() + ": added " + devices::name_list(result.added) +
                    "; set up again " + devices::name_list(result.set_up_again) + "; removed " +
                    devices::name_list(result.removed) + "; unchanged " +
                    devices::name_list(result.unchanged));
  return result;
}

// First, since a changed unit may take the slave address of one that went.
std::map<std::string, BusWorker::Carried> BusWorker::take_down_changed(const BusReload& changes,
                                                                       std::vector<Unit>& before,
                                                                       BusReloadResult& result) {
  std::map<std::string, Carried> carried;
  for (Unit& unit : before) {
    const std::string name = unit.device->name();
    const config::UnitConfig* now = find_config(changes.units, name);
    if (now != nullptr && *now == unit.device->config()) continue;
    (now == nullptr ? result.removed : result.set_up_again).push_back(name);
    state::UnitState row = table_.unit(name).value_or(state::UnitState{});
    if (now == nullptr) result.departed[name] = row;
    const line::LineCounters line = take_down(unit);
    carried[name] = Carried{std::move(unit), line, std::move(row)};
  }
  return carried;
}

BusWorker::Carried BusWorker::carried_from(const state::UnitState& row) {
  const state::UnitCounters& c = row.counters;
  Carried carried;
  carried.unit.rounds = c.rounds;
  carried.unit.completed = c.completed;
  carried.unit.commands = c.commands;
  carried.line = {c.requests, c.timeouts, c.bad_replies, c.exceptions, c.port_errors, c.given_up};
  carried.row = row;
  return carried;
}

void BusWorker::place(const config::UnitConfig& config, std::vector<Unit>& before,
                      std::map<std::string, Carried>& carried, std::vector<state::UnitState>& rows,
                      BusReloadResult& result) {
  const auto kept = std::find_if(before.begin(), before.end(), [&](const Unit& unit) {
    return unit.device && unit.device->name() == config.name;
  });
  if (kept != before.end()) {
    result.unchanged.push_back(config.name);
    rows.push_back(table_.unit(config.name).value_or(state::UnitState{}));
    units_.push_back(std::move(*kept));
    return;
  }
  const auto old = carried.find(config.name);
  const bool again = old != carried.end();
  state::UnitState row = again ? old->second.row : state::UnitState{};
  try {
    Unit unit = set_up(config, again ? old->second.line : line::LineCounters{}, row);
    if (again) {
      unit.rounds = old->second.unit.rounds;
      unit.completed = old->second.unit.completed;
      unit.commands = old->second.unit.commands;
    } else {
      result.added.push_back(config.name);
    }
    units_.push_back(std::move(unit));
    rows.push_back(std::move(row));
  } catch (const std::exception& error) {
    base::log::error("reload: unit " + config.name + " cannot be set up: " + error.what());
    result.errors.push_back(config.name + ": " + error.what());
  }
}

}  // namespace gw::bus
