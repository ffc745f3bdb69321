// The exchange of one frame on a bus's line, and its timing.
//
// A request is sent as a raw frame once the line has been quiet for a
// silent interval after the last frame on it (wire_time.h): a unit that
// reads the end of a reply and the next request as one frame answers
// neither. Its reply is awaited for its first byte, in slices of
// LineWaits::kAliveEveryMs up to the response timeout; then the line
// sleeps for as long as the rest of the reply takes at the line's speed
// (its length is known from the request) and hands libmodbus every byte at
// once. A frame that stops short (an exception reply, a cut frame) is told
// by a look a silent interval after an exception reply would have ended:
// it goes to libmodbus as it is, which reads the rest by its byte timeout
// (wire::byte_timeout: a few characters, never above the response
// timeout).
// So a reply costs a few wake-ups instead of one for every byte, on a line
// that delivers bytes as they come or all at once, and the response
// timeout keeps its meaning: the first byte must come within it.
// The bus shows it is alive while it waits, and a stop ends the wait of a
// read at the next slice: a unit that does not answer never holds a stop
// up for a whole response timeout. A write's reply is awaited to the end,
// so that its outcome is known.
#pragma once

#include <chrono>
#include <cstdint>

#include <modbus.h>

#include "gateway/line/line_waits.h"
#include "gateway/line/serial_port.h"
#include "gateway/line/try_outcome.h"
#include "gateway/line/wire_time.h"

namespace gw::line {

// A reply as it came.
struct Reply {
  uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
  int length = -1;
};

class FrameExchange {
 public:
  using Clock = LineWaits::Clock;

  // On `port`, whose line has `timing`.
  FrameExchange(SerialPort& port, const wire::LineTiming& timing, int response_timeout_ms);

  // The bus worker that drives the line; set before the first exchange.
  void set_waits(LineWaits& waits) { waits_ = &waits; }
  // 1..60000 ms, from the next exchange.
  void set_response_timeout(int milliseconds) { response_timeout_ms_ = milliseconds; }
  int response_timeout_ms() const { return response_timeout_ms_; }

  // Sends the frame (without its CRC, which libmodbus adds) once the line
  // is quiet and waits for the reply of `reply_length` bytes; a stop ends
  // the wait when `stop_ends_wait`.
  TryResult exchange(const uint8_t* request, int length, int reply_length, bool stop_ends_wait,
                     Reply& reply);

 private:
  // Waits for the reply's first byte until `deadline`, then until the
  // reply can be whole or has ended short (see above); then libmodbus
  // reads it.
  TryResult await_reply(Clock::time_point deadline, int reply_length, bool stop_ends_wait,
                        Reply& reply);
  // Waits for the reply's first byte up to `deadline`: kOk when there is
  // something to read (or the port reports an error for libmodbus to read).
  TryResult await_first_byte(Clock::time_point deadline, bool stop_ends_wait);
  // Waits until `when`; a stop ends it (false) only when `stop_ends_wait`.
  bool wait_until(Clock::time_point when, bool stop_ends_wait);

  SerialPort& port_;
  LineWaits* waits_ = nullptr;
  const wire::LineTiming timing_;
  int response_timeout_ms_;
  // A silent interval after the line's last frame (after its last byte was
  // read, for a reply): no request before it.
  Clock::time_point quiet_until_{};
};

}  // namespace gw::line
