// Control requests of the upper system: the DeviceIoControl codes, the
// commands by signal id, and the reading of a command's JSON text.
//
// A command text is a JSON object such as
//   {"signal_id": "150800310010", "SetValue": "26"}
// Each accepted command becomes one write of a single register of the unit;
// the unit's echo decides the command's result (see Norvane::process_payload).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "driver/norvane.h"
#include "driver/norvane_record.h"

namespace norvane {

// DeviceIoControl codes that the driver handles itself. Every other code
// answers the last command's result and goes on to the host.
enum ControlCode : int {
  kCodeSetPoint = 310,       // write a temperature or humidity set point
  kCodeOnOff = 320,          // switch the unit on or off
  kCodeReportText = 801,     // the status report as JSON text
  kCodeReportAddress = 803,  // the address of the status report (a Json::Value*)
};

// Code 310: the set point named by the signal id gets ten times "SetValue".
struct SetPointTarget {
  const char* signal_id;
  int reg;
  Step ack_step;
};
inline constexpr SetPointTarget kSetPointTargets[] = {
    {"150800310010", 1, kStepAckTemperature},  // set temperature, tenths of a degree
    {"150800340010", 2, kStepAckHumidity},     // set humidity
};
static_assert(record_offset_of_register(kSetPointTargets[0].reg) ==
              offsetof(Norvane_Data_t, set_temperature));
static_assert(record_offset_of_register(kSetPointTargets[1].reg) ==
              offsetof(Norvane_Data_t, set_humidity));

// Code 320: the unit's on/off register gets a fixed word; the unit echoes
// its run state, 1 once on and 0 once off.
struct SwitchCommand {
  const char* signal_id;
  int reg;
  int word;
  Step ack_step;
  int expected_echo;
};
inline constexpr SwitchCommand kSwitchCommands[] = {
    {"140800280010", 13, 170, kStepAckOn, 1},  // unit on
    {"140800300010", 13, 85, kStepAckOff, 0},  // unit off
};
static_assert(record_offset_of_register(kSwitchCommands[0].reg) ==
              offsetof(Norvane_Data_t, unit_on_off));
static_assert(kSwitchCommands[1].reg == kSwitchCommands[0].reg);

// The members of a command text, in their string forms (JsonCpp's asString:
// a number or a boolean as its text). A missing or null member is empty.
struct CommandText {
  std::string signal_id;
  std::optional<std::string> set_value;  // read only when asked for
};

// Reads the `length` bytes at `text` as one JSON text. Nothing for text
// that is not a JSON object: a null `text`, a negative length, a text that
// does not parse or nests too deeply for the parser, a value other than an
// object, or a "signal_id" (or, when asked for, "SetValue") that is an array
// or an object. No JsonCpp exception leaves this function.
std::optional<CommandText> read_command(const void* text, int length, bool with_set_value);

// The word that a set point of `set_value` writes: ten times the integer at
// the start of the text, read as the C library's atoi reads it (leading
// white space, an optional sign, the digits up to the first other
// character), but never overflowing. Nothing, so that nothing is written,
// for a set point that the unit would not read as meant:
//   - a text without digits ("", " ", "forty"), which atoi reads as 0;
//   - a negative value ("-5"): the unit's set point words have no sign, and
//     -50 would reach it as 65486;
//   - a tenfold value beyond a signed 16-bit word (above 3276), which would
//     reach the unit wrapped round.
// "0", "+0" and "-0" are 0.
std::optional<int> set_point_word(const std::string& set_value);

}  // namespace norvane
