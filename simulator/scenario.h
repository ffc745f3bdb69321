// A scenario: alarm flags of the unit raised and cleared, and its alarm
// limit settings changed, at given times.
//
// One event a line: seconds since the start, a flag name and "on" or
// "off", or a limit's name and its new value in whole degrees C or %
// (0 to 100). Blank lines and lines starting with '#' are ignored. Example:
//
//   # water on the floor from 3 s to 6 s
//   3    floor_water   on
//   6    floor_water   off
//   # the return air's upper limit down to 20 C from 8 s
//   8    return_air_temperature_upper_limit   20
//
// Flags: floor_water (register 31), filter_clogged (30), fan_overload (39),
// humidifier_fault (42). Limits: return_air_temperature_upper_limit (7),
// return_air_temperature_lower_limit (8), return_air_humidity_upper_limit
// (9), return_air_humidity_lower_limit (10).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simulator/unit_model.h"

namespace sim {

struct ScenarioEvent {
  double at_seconds = 0.0;
  std::string flag;   // one of the names above
  int address = 0;    // its register
  uint16_t word = 0;  // what it becomes: a flag 1 (on) or 0 (off), a limit its value
  std::string state;  // as the line gives it: "on", "off" or the limit's value
};

// Parses a scenario text; on a bad line returns nullopt and puts
// "line N: reason" into `error`. Events come out sorted by time, events of
// the same time in file order.
std::optional<std::vector<ScenarioEvent>> parse_scenario(const std::string& text,
                                                         std::string& error);

// Sets the event's register of `unit`.
void apply(const ScenarioEvent& event, UnitModel& unit);

// Plays a scenario against the units.
class ScenarioPlayer {
 public:
  explicit ScenarioPlayer(std::vector<ScenarioEvent> events) : events_(std::move(events)) {}

  // Takes every event due by `seconds` that has not been taken yet, in
  // order; each is taken once, for every unit.
  std::vector<ScenarioEvent> take_due(double seconds);
  // take_due, applied to `unit`.
  std::vector<ScenarioEvent> apply_due(double seconds, UnitModel& unit);

 private:
  std::vector<ScenarioEvent> events_;
  size_t next_ = 0;
};

}  // namespace sim
