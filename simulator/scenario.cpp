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

// The unit's own alarm limits, whole degrees C or %.
constexpr FlagName kLimits[] = {
    {"return_air_temperature_upper_limit", 7},
    {"return_air_temperature_lower_limit", 8},
    {"return_air_humidity_upper_limit", 9},
    {"return_air_humidity_lower_limit", 10},
};
constexpr int kLargestLimit = 100;

template <size_t N>
std::optional<int> address_of(const FlagName (&names)[N], const std::string& name) {
  for (const FlagName& flag : names)
    if (name == flag.name) return flag.address;
  return std::nullopt;
}

std::optional<std::string> parse_limit(const std::string& state, ScenarioEvent& event) {
  size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(state, &used);
  } catch (const std::exception&) {
  }
  if (used != state.size() || value < 0 || value > kLargestLimit)
    return "a limit must be a whole number from 0 to 100, not " + state;
  event.word = static_cast<uint16_t>(value);
  return std::nullopt;
}

// One non-empty, non-comment line; returns the reason when it is bad.
std::optional<std::string> parse_event(const std::string& line, ScenarioEvent& event) {
  std::istringstream fields(line);
  std::string state, extra;
  if (!(fields >> event.at_seconds >> event.flag >> state))
    return "expected: SECONDS FLAG on|off or SECONDS LIMIT VALUE";
  if (fields >> extra) return "unexpected text after the state: " + extra;
  if (!std::isfinite(event.at_seconds) || event.at_seconds < 0)
    return "the time must be zero or more seconds";
  event.state = state;
  if (const std::optional<int> limit = address_of(kLimits, event.flag)) {
    event.address = *limit;
    return parse_limit(state, event);
  }
  const std::optional<int> address = address_of(kFlags, event.flag);
  if (!address)
    return "unknown flag " + event.flag +
           " (floor_water, filter_clogged, fan_overload, humidifier_fault) or limit (" +
           "return_air_temperature_upper_limit, return_air_temperature_lower_limit, " +
           "return_air_humidity_upper_limit, return_air_humidity_lower_limit)";
  if (state != "on" && state != "off") return "the state must be on or off, not " + state;
  event.address = *address;
  event.word = state == "on" ? 1 : 0;
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

void apply(const ScenarioEvent& event, UnitModel& unit) { unit.set(event.address, event.word); }

std::vector<ScenarioEvent> ScenarioPlayer::take_due(double seconds) {
  std::vector<ScenarioEvent> due;
  for (; next_ < events_.size() && events_[next_].at_seconds <= seconds; ++next_)
    due.push_back(events_[next_]);
  return due;
}

std::vector<ScenarioEvent> ScenarioPlayer::apply_due(double seconds, UnitModel& unit) {
  std::vector<ScenarioEvent> due = take_due(seconds);
  for (const ScenarioEvent& event : due) apply(event, unit);
  return due;
}

}  // namespace sim
