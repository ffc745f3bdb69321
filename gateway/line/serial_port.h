// A bus's serial port and its life: locked for the gateway alone
// (PortLock) before it is set up, opened through libmodbus, and set to its
// speed (a termios speed that libmodbus does not set is set here) and,
// when configured, to RS-485 mode and the RTS handling, each time it is
// opened.
//
// A port whose descriptor stops working (a pseudo-terminal whose other end
// went away, a USB adapter pulled out: errors that are neither timeouts nor
// bad replies) is closed and opened again by its path, on the port's own
// schedule (ReopenBackoff: 100 ms after the loss, doubling to 2 s), not on
// the units' back-off: a try on a closed port first waits until the
// reopening is due, and the bus opens it when it is due between passes
// (reopen_due), so that a port that returns is open again within 2 s.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include <modbus.h>

#include "gateway/config/config.h"
#include "gateway/line/line_waits.h"
#include "gateway/line/port_lock.h"
#include "gateway/line/reopen_backoff.h"
#include "gateway/line/try_outcome.h"

namespace gw::line {

class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bus's port, since the gateway started.
struct PortCounters {
  long lost = 0;      // times the open port stopped working and was closed
  long reopened = 0;  // times it was opened again
};

class SerialPort {
 public:
  // Locks, opens and sets up the port. Throws PortBusy when another
  // process holds it, LinkError naming it for any other failure; but when
  // `wait_for_port`, a port that cannot be opened (missing, say) is left
  // closed, to be opened as after a loss, with the same back-off.
  SerialPort(const config::BusSettings& bus, bool wait_for_port);
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // The libmodbus context, whose descriptor is the port's while it is open.
  modbus_t* context() const { return context_; }
  bool is_open() const { return open_; }
  const std::string& path() const { return path_; }
  // Why the port could not be opened at the start (see wait_for_port).
  const std::string& open_error() const { return open_error_; }
  const PortCounters& counters() const { return counters_; }

  // The open port stopped working, for `reason`: it is closed.
  void close_lost(const std::string& reason);
  // While the port is closed: when it is next to be opened again.
  std::optional<LineWaits::Clock::time_point> reopen_due() const;
  // Waits through `waits` until the reopening is due and opens the port:
  // kOk, kStopped when a stop came first, or kPortError (with the reason)
  // when it cannot be opened yet.
  TryResult reopen(LineWaits& waits);
  // Bytes that came in and wait to be read; -1 when the port cannot say.
  int bytes_waiting() const;

 private:
  // Locks, opens and sets the port up; throws PortBusy, PortUnavailable or
  // std::system_error.
  void open();
  void set_up();

  const config::BusSettings settings_;
  const std::string path_;
  modbus_t* context_ = nullptr;
  PortLock lock_;
  bool open_ = false;
  std::string open_error_;
  ReopenBackoff backoff_;
  LineWaits::Clock::time_point reopen_at_{};  // while closed
  PortCounters counters_;
};

}  // namespace gw::line
