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

// How long a reply that has begun may pause between two bytes before it
// counts as cut short: kByteTimeoutCharacters characters and a margin of
// kByteTimeoutMargin for the adapter's and the sender's delays (a USB
// adapter hands bytes over in chunks, every 16 ms with a common latency
// timer), never above the response timeout (`response_timeout`): 55.2 ms
// at 9600 8N1, 50.4 ms at 115200. A cut reply then costs no more than a
// dropped one, whatever the response timeout.
inline constexpr int kByteTimeoutCharacters = 5;
inline constexpr Duration kByteTimeoutMargin = std::chrono::milliseconds(50);
Duration byte_timeout(const LineTiming& timing, std::chrono::milliseconds response_timeout);

}  // namespace gw::line::wire
