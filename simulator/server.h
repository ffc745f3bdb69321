// The simulator's main loop: answers requests on the line as the units on
// the bus, plays the scenario and switches faults on and off.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>

#include "simulator/line.h"
#include "simulator/rtu_frames.h"
#include "simulator/scenario.h"

namespace sim {

// Faults that a test switches on.
struct Faults {
  bool silent = false;                    // answer nothing at all
  bool corrupt = false;                   // every reply with a wrong CRC
  std::optional<uint16_t> echo_override;  // every write acknowledged with this word
};

// Set from signal handlers; the loop acts on them between requests.
struct Requests {
  volatile std::sig_atomic_t stop = 0;
  volatile std::sig_atomic_t fall_silent = 0;
  volatile std::sig_atomic_t answer_again = 0;
};

// Serves until `requests.stop` is set. Prints one line for every state
// change, scenario event and write on standard output.
void serve(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults, Requests& requests);

}  // namespace sim
