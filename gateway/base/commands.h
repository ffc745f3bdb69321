// Commands for a unit, as the host hands them to a device: JSON text under
// control code 310 (set points) or 320 (on/off), and the outcome read back
// through the result query.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "driver/commands.h"

namespace gw::base {

enum class CommandKind { kSetTemperature, kSetHumidity, kUnitOn, kUnitOff };

struct Command {
  CommandKind kind = CommandKind::kUnitOn;
  int value = 0;  // whole degrees C or percent, for the set points
};

// The driver's own control codes.
inline constexpr int kSetPointCode = norvane::kCodeSetPoint;
inline constexpr int kOnOffCode = norvane::kCodeOnOff;
inline constexpr int kReportTextCode = norvane::kCodeReportText;
// A code the device does not handle itself: it answers with the outcome of
// the last command and passes the request on to the host, which leaves the
// answer in place.
inline constexpr int kResultQueryCode = 900;
static_assert(kResultQueryCode != norvane::kCodeSetPoint &&
                  kResultQueryCode != norvane::kCodeOnOff &&
                  kResultQueryCode != norvane::kCodeReportText &&
                  kResultQueryCode != norvane::kCodeReportAddress,
              "the result query must be a code that the driver passes on");

struct ControlRequest {
  int code = 0;
  std::string text;  // JSON
};

// {"signal_id":"150800310010","SetValue":"26"} under 310, or
// {"signal_id":"140800280010"} under 320.
ControlRequest encode_command(const Command& command);

// "set temperature 26", "unit on", ...
std::string describe(const Command& command);

// The kinds' names on the control socket: "set_temperature",
// "set_humidity", "unit_on", "unit_off".
const char* kind_name(CommandKind kind);
std::optional<CommandKind> kind_named(std::string_view name);
// Whether the kind takes a value (the set points).
bool takes_value(CommandKind kind);

// The set points that a unit takes, in whole degrees C and percent.
struct Range {
  double low = 0, high = 0;
  bool operator==(const Range& other) const { return low == other.low && high == other.high; }
};
struct SetpointLimits {
  Range temperature{16, 32};  // what a computer room's unit is run at
  Range humidity{30, 80};
  bool operator==(const SetpointLimits& other) const {
    return temperature == other.temperature && humidity == other.humidity;
  }
};

// The largest set point a command may carry, either way: the device writes
// ten times the value into a register word.
inline constexpr int kLargestSetpoint = 999;

// A set point as a command carries it: a whole number from -999 to 999
// (whole degrees C or percent; the unit's own limits are checked when the
// command is carried out: outside_limits). Every way in takes it through
// here: the command line, the control socket and MQTT.
struct SetpointValue {
  std::optional<int> value;
  // When there is no value: "22.5 is not a whole number (set points are
  // whole degrees C)", "1000 is not in range -999 to 999", "\"warm\" is not
  // a number (set points are whole percent)".
  std::string why;
};
// From a number (JSON); within 1e-6 of a whole number counts as one.
SetpointValue setpoint_value(CommandKind kind, double number);
// From text as a person or Home Assistant writes it: "24", "24.0", " 24 ";
// the text is quoted in `why` as valid UTF-8, at most 32 bytes of it.
SetpointValue setpoint_value(CommandKind kind, std::string_view text);

// Why a set point is outside the unit's limits ("18 to 27 C"); empty when
// the command is within them or is no set point.
std::string outside_limits(const Command& command, const SetpointLimits& limits);

enum class CommandOutcome {
  kDone,           // the unit acknowledged as the device expects
  kFailed,         // the unit acknowledged something else
  kNoAnswer,       // no valid acknowledgement came
  kRefused,        // the device issued no write for the command
  kRefusedByUnit,  // the unit answered the write with an exception
  kOutOfLimits,    // a set point outside the unit's limits: nothing written
  kUnknown,        // the device did not answer the result query
  // Not carried out:
  kBusy,      // too many commands already wait for the unit
  kTimeout,   // not carried out within the time the client waits (withdrawn)
  kStopping,  // the gateway stopped first
  kRemoved,   // a reload took the unit out first
};

// The outcome from the answer to the result query: `answered` when the
// query filled four bytes, `result` the device's command_result.
CommandOutcome outcome_of(bool answered, int result);

// Whether the bus took the command up (whatever came of it): its outcome
// is then also published on the event stream. Busy, timed out, stopping
// and removed commands never reached the bus.
bool carried_out(CommandOutcome outcome);

// "done", "failed", "no answer", "refused", "refused by unit", "refused:
// outside the limits", "unknown", "busy", "timeout", "not done: stopping",
// "not done: unit removed".
const char* outcome_text(CommandOutcome outcome);
// The same as a word for machines, snake_case (a metric's label value):
// "done", "failed", "no_answer", "refused", "refused_by_unit",
// "outside_limits", "unknown", "busy", "timeout", "stopping", "removed".
const char* outcome_name(CommandOutcome outcome);

}  // namespace gw::base
