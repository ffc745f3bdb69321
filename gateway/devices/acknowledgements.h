// The acknowledgement that the host's serial layer hands a device for its
// on/off write. A standard unit echoes a single-register write with the
// word written (170 or 85 to register 13), whatever it then does; the
// device expects the run state that the command leads to (1 after on, 0
// after off). So the layer judges the command by the unit's state: after
// the echo it reads the run state (register 27) until the unit shows the
// new state, a few times within a bound, and hands the device the state
// that it read last.
#pragma once

#include <chrono>
#include <cstdint>

namespace gw {

struct StateAcknowledgement {
  int write_register;
  uint16_t written;
  int state_register;
  uint16_t state;  // what the device expects, and the unit shows once done
};

inline constexpr StateAcknowledgement kStateAcknowledgements[] = {
    {13, 170, 27, 1},  // on: running
    {13, 85, 27, 0},   // off: stopped
};

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

}  // namespace gw
