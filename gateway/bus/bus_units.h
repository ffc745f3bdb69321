// The units of one bus, on the bus's thread: each one's device on the
// bus's line, its counts and its pace, and its row of the state table.
//
// A reload, between two passes: units that went are taken down, units
// whose configuration changed get a new device (their counters and last
// command carry over), new units are added, and unchanged units keep their
// devices and polling as they were.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gateway/bus/bus_reload.h"
#include "gateway/bus/unit_pace.h"
#include "gateway/config/config.h"
#include "gateway/devices/host.h"
#include "gateway/line/rtu_link.h"
#include "gateway/state/unit_table.h"

namespace gw::bus {

class BusUnits {
 public:
  struct Unit {
    std::unique_ptr<devices::UnitDevice> device;
    long rounds = 0;
    long completed = 0;
    long commands = 0;
    UnitPace pace;
  };

  BusUnits(line::RtuLink& link, devices::Host& host, state::StateTable& table);
  // Takes every unit down.
  ~BusUnits();
  BusUnits(const BusUnits&) = delete;
  BusUnits& operator=(const BusUnits&) = delete;

  // Sets the units up (reloading each one's newest record) and gives the
  // bus its rows.
  void set_up_all(const std::vector<config::UnitConfig>& configs, const PaceSettings& pace);
  // A reload's units (`changes.units`, `changes.arriving`), with `pace`
  // already the reload's. `placed` is told the units' names once they are
  // placed, before their rows are shown.
  BusReloadResult apply(const BusReload& changes, const PaceSettings& pace,
                        const std::function<void(std::set<std::string>)>& placed);

  std::vector<Unit>& all() { return units_; }
  std::set<std::string> names() const;
  Unit* named(const std::string& name);
  // The unit became lost or answers again: the line's tries follow.
  void backing_off(const Unit& unit);

  // The unit's row after a round (`round_completed` set) or a command, and
  // the bus's.
  void write_row(const Unit& unit, std::optional<bool> round_completed,
                 const std::optional<std::string>& report, double interval_s);

 private:
  // What a unit set up again keeps of its former self.
  struct Carried {
    Unit unit;  // its counts; the device is gone
    line::LineCounters line;
    state::UnitState row;
  };

  // A new device for the unit and its row of the state table (`row` holds
  // what to carry over: counters, last command; the rest comes from
  // `config` and the history).
  Unit set_up(const config::UnitConfig& config, const line::LineCounters& counters,
              state::UnitState& row, const PaceSettings& pace);
  line::LineCounters take_down(Unit& unit);
  // A unit from another bus, as if it had been set up again here.
  static Carried carried_from(const state::UnitState& row);
  std::map<std::string, Carried> take_down_changed(const BusReload& changes,
                                                   std::vector<Unit>& before,
                                                   BusReloadResult& result);
  // The unit from now on: kept as it was, set up again or added.
  void place(const config::UnitConfig& config, std::vector<Unit>& before,
             std::map<std::string, Carried>& carried, std::vector<state::UnitState>& rows,
             BusReloadResult& result, const PaceSettings& pace);

  line::RtuLink& link_;
  devices::Host& host_;
  state::StateTable& table_;
  std::vector<Unit> units_;
};

}  // namespace gw::bus
