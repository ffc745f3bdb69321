#include "gateway/base/commands.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <cstdlib>

#include <json/writer.h>

#include "gateway/base/utf8.h"

namespace gw::base {
namespace {

// Signal ids of the upper system for the unit's controls: the driver's.
constexpr const char* kSetTemperatureId = norvane::kSetPointTargets[0].signal_id;
constexpr const char* kSetHumidityId = norvane::kSetPointTargets[1].signal_id;
constexpr const char* kUnitOnId = norvane::kSwitchCommands[0].signal_id;
constexpr const char* kUnitOffId = norvane::kSwitchCommands[1].signal_id;
static_assert(norvane::kSetPointTargets[0].reg == 1 && norvane::kSetPointTargets[1].reg == 2,
              "temperature first, then humidity");
static_assert(norvane::kSwitchCommands[0].expected_echo == 1 &&
                  norvane::kSwitchCommands[1].expected_echo == 0,
              "on first, then off");

// Command results the device reports: done, failed, none yet.
constexpr int kResultDone = norvane::kCommandDone;
constexpr int kResultFailed = norvane::kCommandFailed;

}  // namespace

ControlRequest encode_command(const Command& command) {
  Json::Value body(Json::objectValue);
  ControlRequest request;
  switch (command.kind) {
    case CommandKind::kSetTemperature:
    case CommandKind::kSetHumidity:
      request.code = kSetPointCode;
      body["signal_id"] =
          command.kind == CommandKind::kSetTemperature ? kSetTemperatureId : kSetHumidityId;
      body["SetValue"] = std::to_string(command.value);
      break;
    case CommandKind::kUnitOn:
    case CommandKind::kUnitOff:
      request.code = kOnOffCode;
      body["signal_id"] = command.kind == CommandKind::kUnitOn ? kUnitOnId : kUnitOffId;
      break;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  request.text = Json::writeString(writer, body);
  return request;
}

std::string describe(const Command& command) {
  switch (command.kind) {
    case CommandKind::kSetTemperature:
      return "set temperature " + std::to_string(command.value);
    case CommandKind::kSetHumidity:
      return "set humidity " + std::to_string(command.value);
    case CommandKind::kUnitOn:
      return "unit on";
    case CommandKind::kUnitOff:
      return "unit off";
  }
  return "command";
}

const char* kind_name(CommandKind kind) {
  switch (kind) {
    case CommandKind::kSetTemperature:
      return "set_temperature";
    case CommandKind::kSetHumidity:
      return "set_humidity";
    case CommandKind::kUnitOn:
      return "unit_on";
    case CommandKind::kUnitOff:
      return "unit_off";
  }
  return "?";
}

std::optional<CommandKind> kind_named(std::string_view name) {
  for (CommandKind kind : {CommandKind::kSetTemperature, CommandKind::kSetHumidity,
                           CommandKind::kUnitOn, CommandKind::kUnitOff})
    if (name == kind_name(kind)) return kind;
  return std::nullopt;
}

bool takes_value(CommandKind kind) {
  return kind == CommandKind::kSetTemperature || kind == CommandKind::kSetHumidity;
}

namespace {

std::string number_text(double number) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", number);
  return text;
}

std::string whole_units(CommandKind kind) {
  return std::string(" (set points are whole ") +
         (kind == CommandKind::kSetHumidity ? "percent" : "degrees C") + ")";
}

SetpointValue checked_setpoint(CommandKind kind, double number, const std::string& as_given) {
  if (!std::isfinite(number))
    return {std::nullopt, as_given + " is not a number" + whole_units(kind)};
  if (std::fabs(number - std::round(number)) > 1e-6)
    return {std::nullopt, as_given + " is not a whole number" + whole_units(kind)};
  if (std::fabs(number) > kLargestSetpoint)
    return {std::nullopt, as_given + " is not in range -" + std::to_string(kLargestSetpoint) +
                              " to " + std::to_string(kLargestSetpoint)};
  return {static_cast<int>(std::lround(number)), ""};
}

}  // namespace

SetpointValue setpoint_value(CommandKind kind, double number) {
  return checked_setpoint(kind, number, number_text(number));
}

SetpointValue setpoint_value(CommandKind kind, std::string_view text) {
  const std::string whole(text);
  const std::string quoted = "\"" + utf8_excerpt(text, 32) + "\"";
  char* end = nullptr;
  const double number = std::strtod(whole.c_str(), &end);
  size_t read = static_cast<size_t>(end - whole.c_str());
  const bool some = read > 0;
  while (read < whole.size() && std::isspace(static_cast<unsigned char>(whole[read]))) ++read;
  // Decimal numbers only: not "0x1A", "inf" or "nan", which strtod takes.
  if (!some || read != whole.size() || whole.find_first_of("xXnN") != std::string::npos)
    return {std::nullopt, quoted + " is not a number" + whole_units(kind)};
  return checked_setpoint(kind, number, utf8_excerpt(text, 32));
}

std::string outside_limits(const Command& command, const SetpointLimits& limits) {
  if (!takes_value(command.kind)) return {};
  const bool temperature = command.kind == CommandKind::kSetTemperature;
  const Range& range = temperature ? limits.temperature : limits.humidity;
  if (command.value >= range.low && command.value <= range.high) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%g to %g %s", range.low, range.high, temperature ? "C" : "%");
  return text;
}

CommandOutcome outcome_of(bool answered, int result) {
  if (!answered) return CommandOutcome::kUnknown;
  if (result == kResultDone) return CommandOutcome::kDone;
  if (result == kResultFailed) return CommandOutcome::kFailed;
  return CommandOutcome::kNoAnswer;
}

bool carried_out(CommandOutcome outcome) {
  return outcome != CommandOutcome::kBusy && outcome != CommandOutcome::kTimeout &&
         outcome != CommandOutcome::kStopping && outcome != CommandOutcome::kRemoved;
}

namespace {

struct OutcomeWords {
  CommandOutcome outcome;
  const char* text;  // for people
  const char* name;  // snake_case
};

constexpr OutcomeWords kOutcomeWords[] = {
    {CommandOutcome::kDone, "done", "done"},
    {CommandOutcome::kFailed, "failed", "failed"},
    {CommandOutcome::kNoAnswer, "no answer", "no_answer"},
    {CommandOutcome::kRefused, "refused", "refused"},
    {CommandOutcome::kRefusedByUnit, "refused by unit", "refused_by_unit"},
    {CommandOutcome::kOutOfLimits, "refused: outside the limits", "outside_limits"},
    {CommandOutcome::kUnknown, "unknown", "unknown"},
    {CommandOutcome::kBusy, "busy", "busy"},
    {CommandOutcome::kTimeout, "timeout", "timeout"},
    {CommandOutcome::kStopping, "not done: stopping", "stopping"},
    {CommandOutcome::kRemoved, "not done: unit removed", "removed"},
};

// Every outcome has its row, in the enumeration's order.
constexpr bool rows_in_order() {
  for (size_t i = 0; i < std::size(kOutcomeWords); ++i)
    if (static_cast<size_t>(kOutcomeWords[i].outcome) != i) return false;
  return std::size(kOutcomeWords) == static_cast<size_t>(CommandOutcome::kRemoved) + 1;
}
static_assert(rows_in_order(), "one row per outcome, in the enumeration's order");

const OutcomeWords& words_of(CommandOutcome outcome) {
  return kOutcomeWords[static_cast<size_t>(outcome)];
}

}  // namespace

const char* outcome_text(CommandOutcome outcome) { return words_of(outcome).text; }

const char* outcome_name(CommandOutcome outcome) { return words_of(outcome).name; }

}  // namespace gw::base
