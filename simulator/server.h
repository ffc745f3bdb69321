// The simulator's main loop: answers requests on the line as the units on
// the bus, plays the scenario and switches faults on and off.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>

#include "simulator/line.h"
#include "simulator/rtu_frames.h"
#include "simulator/scenario.h"
#include "simulator/wire_time.h"

namespace sim {

// Faults that a test switches on.
struct Faults {
  bool silent = false;   // answer nothing at all
  bool corrupt = false;  // every reply with a wrong CRC
  AnswerFaults answers;  // echoes and exception replies
};

// When replies go out.
struct Timing {
  // Keep the line's time (wire_time.h): a request is there when its last
  // character would have arrived, a reply's characters leave one character
  // time apart, and frames keep the silent interval between them. Without
  // it a reply goes out at once, as one write.
  bool pace = false;
  // From the end of a request to the start of its reply; paced, never less
  // than the silent interval.
  Nanoseconds turnaround{0};
};

// Set from signal handlers; the loop acts on them between requests.
struct Requests {
  volatile std::sig_atomic_t stop = 0;
  volatile std::sig_atomic_t fall_silent = 0;
  volatile std::sig_atomic_t answer_again = 0;
};

// Serves until `requests.stop` is set. Prints one line for every state
// change, scenario event and write on standard output; paced, at the end
// how soon the master sent its requests after the replies ("master
// turnaround after a reply: mean M ms, longest L ms, N requests, W sent
// within the silent interval of S ms").
void serve(Line& line, Units& units, ScenarioPlayer& scenario, Faults& faults, const Timing& timing,
           Requests& requests);

}  // namespace sim
