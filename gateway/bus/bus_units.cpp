#include "gateway/bus/bus_units.h"

#include <algorithm>
#include <chrono>

#include "gateway/base/log.h"
#include "gateway/readings/alarm_table.h"

namespace gw::bus {
namespace {

bool has_comm_lost(const std::vector<state::ActiveAlarm>& alarms) {
  return std::any_of(alarms.begin(), alarms.end(), [](const state::ActiveAlarm& alarm) {
    return alarm.signal_id == readings::kCommLostSignalId;
  });
}

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

BusUnits::BusUnits(line::RtuLink& link, devices::Host& host, state::StateTable& table)
    : link_(link), host_(host), table_(table) {}

BusUnits::~BusUnits() {
  for (Unit& unit : units_) take_down(unit);
}

void BusUnits::set_up_all(const std::vector<config::UnitConfig>& configs,
                          const PaceSettings& pace) {
  std::vector<state::UnitState> rows;
  for (const config::UnitConfig& config : configs) {
    state::UnitState row;
    units_.push_back(set_up(config, {}, row, pace));
    rows.push_back(std::move(row));
  }
  table_.set_units(link_.port(), std::move(rows));
  table_.update_bus({link_.port(), link_.port_open(), 0, 0, pace.interval_s});
  for (Unit& unit : units_) host_.reload(*unit.device);
}

std::set<std::string> BusUnits::names() const {
  std::set<std::string> names;
  for (const Unit& unit : units_) names.insert(unit.device->name());
  return names;
}

BusUnits::Unit* BusUnits::named(const std::string& name) {
  for (Unit& unit : units_)
    if (unit.device->name() == name) return &unit;
  return nullptr;
}

void BusUnits::backing_off(const Unit& unit) {
  link_.set_backing_off(unit.device->device(), unit.pace.lost());
}

BusUnits::Unit BusUnits::set_up(const config::UnitConfig& config,
                                const line::LineCounters& counters, state::UnitState& row,
                                const PaceSettings& pace) {
  devices::Host::AddedUnit added = host_.add_unit(config, link_, counters);
  row.name = config.name;
  row.title = config.title;
  row.port = link_.port();
  row.slave = config.slave;
  row.data_id = config.data_id;
  row.setpoint_limits = config.setpoint_limits;
  row.alarm_levels.clear();
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    row.alarm_levels[alarm.signal_id] = config::alarm_level(config, alarm.signal_id);
  row.alarms = std::move(added.alarms);
  if (const auto unsupervised = config::unsupervised_signals(config); !unsupervised.empty())
    base::log::notice("unit " + config.name +
                      ": unsupervised alarms: " + readings::alarm_list(unsupervised));
  row.commands_waiting = 0;
  Unit unit;
  unit.device = std::move(added.unit);
  // Not answering when the gateway last stopped: it backs off from the
  // first round on, and its next completed round clears the alarm.
  if (has_comm_lost(row.alarms)) {
    unit.pace.restore_lost(std::chrono::steady_clock::now(), pace);
    backing_off(unit);
    row.status = state::UnitStatus::kNotAnswering;
    for (const state::ActiveAlarm& alarm : row.alarms)
      if (alarm.signal_id == readings::kCommLostSignalId) row.status_since = alarm.since;
  }
  return unit;
}

line::LineCounters BusUnits::take_down(Unit& unit) {
  if (!unit.device) return {};
  const line::LineCounters counters = host_.remove_unit(*unit.device, link_);
  unit.device.reset();
  return counters;
}

void BusUnits::write_row(const Unit& unit, std::optional<bool> round_completed,
                         const std::optional<std::string>& report, double interval_s) {
  const line::LineCounters& line = link_.counters(unit.device->device());
  const auto now = std::chrono::system_clock::now();
  std::string record;
  if (round_completed.value_or(false)) record = host_.last_record(*unit.device);
  table_.update_unit(unit.device->name(), [&](state::UnitState& row) {
    row.counters = {unit.rounds,      unit.completed,   line.requests,
                    line.timeouts,    line.bad_replies, line.exceptions,
                    line.port_errors, line.failed,      unit.commands};
    if (!round_completed) return;
    if (unit.pace.lost() && row.status != state::UnitStatus::kNotAnswering) {
      row.status = state::UnitStatus::kNotAnswering;
      row.status_since = unit.pace.failing_since().value_or(now);
    } else if (*round_completed && row.status != state::UnitStatus::kAnswering) {
      row.status = state::UnitStatus::kAnswering;
      row.status_since = now;
    }
    if (!*round_completed) return;
    row.last_round_at = now;
    row.record = std::move(record);
    if (report) row.report = *report;
  });
  const line::PortCounters& port = link_.port_counters();
  table_.update_bus({link_.port(), link_.port_open(), port.lost, port.reopened, interval_s});
}

BusReloadResult BusUnits::apply(const BusReload& changes, const PaceSettings& pace,
                                const std::function<void(std::set<std::string>)>& placed) {
  BusReloadResult result;
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
    place(config, before, carried, rows, result, pace);
  placed(names());
  table_.set_units(link_.port(), std::move(rows));
  for (Unit& unit : units_)
    if (!listed(result.unchanged, unit.device->name())) host_.reload(*unit.device);
  base::log::notice("reload on " + link_.port() + ": added " + devices::name_list(result.added) +
                    "; set up again " + devices::name_list(result.set_up_again) + "; removed " +
                    devices::name_list(result.removed) + "; unchanged " +
                    devices::name_list(result.unchanged));
  return result;
}

// First, since a changed unit may take the slave address of one that went.
std::map<std::string, BusUnits::Carried> BusUnits::take_down_changed(const BusReload& changes,
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

BusUnits::Carried BusUnits::carried_from(const state::UnitState& row) {
  const state::UnitCounters& c = row.counters;
  Carried carried;
  carried.unit.rounds = c.rounds;
  carried.unit.completed = c.completed;
  carried.unit.commands = c.commands;
  carried.line = {c.requests, c.timeouts, c.bad_replies, c.exceptions, c.port_errors, c.given_up};
  carried.row = row;
  return carried;
}

void BusUnits::place(const config::UnitConfig& config, std::vector<Unit>& before,
                     std::map<std::string, Carried>& carried, std::vector<state::UnitState>& rows,
                     BusReloadResult& result, const PaceSettings& pace) {
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
    Unit unit = set_up(config, again ? old->second.line : line::LineCounters{}, row, pace);
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
