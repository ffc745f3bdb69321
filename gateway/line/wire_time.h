// The time that frames take on the bus's line, for the line's waits: how
// long the rest of a reply takes, and how long the line stays quiet after
// a frame. Pure arithmetic; the waits are the line's.
//
// A character is a start bit, the data bits, a parity bit unless the parity
// is none, and the stop bits: 10 bits at 8N1, 1.042 ms at 9600 baud. A
// frame ends with a silent interval of 3.5 characters (3.65 ms at 9600
// 8N1), or 1.75 ms at any speed above 19,200 baud, before which no frame
// may begin: a unit would take the two for one.
#pragma once

#include <chrono>

#include "gateway/config/config.h"

namespace gw::line::wire {

using Duration = std::chrono::nanoseconds;

struct LineTiming {
  Duration character{0};  // one character on the line
  Duration silence{0};    // the silent interval after a frame
};

LineTiming line_timing(const config::BusSettings& bus);

// `characters` characters one after the other.
Duration frames_time(const LineTiming& timing, int characters);

}  // namespace gw::line::wire
