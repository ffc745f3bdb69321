#include "simulator/scenario.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sim {
namespace {

struct FlagName {
  const char* name;
  int address;
};

constexpr FlagName kFlags[] = {
    {"floor_water", kFloorWater},
    {"filter_clogged", kFilterClogged},
    {"fan_overload", kIndoorFanFault},
    {"humidifier_fault", kHumidifierFault},
};

std::optional<int> flag_address(const std::string& name) {
  for (const FlagName& flag : kFlags)
    if (name == flag.name) return flag.address;
  return std::nullopt;
}

// One non-empty, non-comment line; returns the reason when it is bad.
std::optional<std::string> parse_event(const std::string& line, ScenarioEvent& event) {
  std::istringstream fields(line);
  std::string state, extra;
  if (!(fields >> event.at_seconds >> event.flag >> state)) return "expected: SECONDS FLAG on|off";
  if (fields >> extra) return "unexpected text after the state: " + extra;
  if (!std::isfinite(event.at_seconds) || event.at_seconds < 0)
    return "the time must be zero or more seconds";
  const std::optional<int> address = flag_address(event.flag);
  if (!address)
    return "unknown flag " + event.flag +
           " (floor_water, filter_clogged, fan_overload, humidifier_fault)";
  if (state != "on" && state != "off") return "the state must be on or off, not " + state;
  event.address = *address;
  event.on = state == "on";
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<ScenarioEvent>> parse_scenario(const std::string& text,
                                                         std::string& error) {
  std::vector<ScenarioEvent> events;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    ScenarioEvent event;
    if (const auto reason = parse_event(line, event)) {
      error = "line " + std::to_string(number) + ": " + *reason;
      return std::nullopt;
    }
    events.push_back(event);
  }
  std::stable_sort(
      events.begin(), events.end(),
      [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at_seconds < b.at_seconds; });
  return events;
}

std::vector<ScenarioEvent> ScenarioPlayer::apply_due(double seconds, UnitModel& unit) {
  std::vector<ScenarioEvent> applied;
  for (; next_ < events_.size() && events_[next_].at_seconds <= seconds; ++next_) {
    const ScenarioEvent& event = events_[next_];
    unit.set(event.address, event.on ? 1 : 0);
    applied.push_back(event);
  }
  return applied;
}

}  // namespace sim
