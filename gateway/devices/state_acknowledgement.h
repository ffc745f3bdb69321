// The acknowledgement that the host's serial layer hands a device for its
// on/off write. A standard unit echoes a single-register write with the
// word written (170 or 85 to register 13), whatever it then does; the
// device expects the run state that the command leads to (1 after on, 0
// after off). So the write is judged by the unit's state: after the echo
// its run state (register 27) is read until the unit shows the new state,
// a few times within a bound, and the device gets the state read last.
// This is knowledge of the unit, not of the line: the line carries plain
// reads and writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "driver/commands.h"
#include "gateway/line/rtu_link.h"

namespace gw::devices {

struct StateAcknowledgement {
  int write_register;
  uint16_t written;
  int state_register;
  uint16_t state;  // what the device expects, and the unit shows once done
};

// The unit's run state, 0 stopped and 1 running.
inline constexpr int kRunStateRegister = 27;
static_assert(norvane::record_offset_of_register(kRunStateRegister) ==
              offsetof(Norvane_Data_t, run_state));

// One rule for each of the driver's on/off commands, from its own table.
inline constexpr StateAcknowledgement kStateAcknowledgements[] = {
    {norvane::kSwitchCommands[0].reg, norvane::kSwitchCommands[0].word, kRunStateRegister,
     norvane::kSwitchCommands[0].expected_echo},
    {norvane::kSwitchCommands[1].reg, norvane::kSwitchCommands[1].word, kRunStateRegister,
     norvane::kSwitchCommands[1].expected_echo},
};
static_assert(std::size(kStateAcknowledgements) == std::size(norvane::kSwitchCommands));

// A unit's run state follows its switch within a moment: read it up to 5
// times, 200 ms apart (about a second in all).
inline constexpr int kStateReads = 5;
inline constexpr std::chrono::milliseconds kStateReadSpacing{200};

// The acknowledgement by state of a write, or nullptr when the echo is
// handed on as it came.
constexpr const StateAcknowledgement* state_acknowledgement(int write_register, int value) {
  for (const StateAcknowledgement& rule : kStateAcknowledgements)
    if (rule.write_register == write_register && rule.written == value) return &rule;
  return nullptr;
}

// Carries the device's request out on `link`; an on/off write's echo is
// replaced by the run state read after it (see above). The serial layer's
// convention: the words read (or 1 for a write), -1 for no answer.
int transact_acknowledged(line::RtuLink& link, SPModbus& device,
                          const standin::ModbusRequest& request, uint16_t* words);

}  // namespace gw::devices
