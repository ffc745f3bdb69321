// A bus's serial line: Modbus RTU through libmodbus, one line shared by the
// units on it, each at its own slave address, one exchange at a time. The
// line owns its port (SerialPort: its lock, set-up, loss and reopening) and
// the exchange of its frames (FrameExchange: the silent interval, the wait
// for a reply and its timing); it carries each request out in tries.
//
// A request is tried again, when it gets no valid reply, up to `retries`
// times; after that the device gets no reply and the stand-in's serial
// layer reports the failure to it (on_error). An exception reply is an
// answer (the unit refused): it is counted as such and not tried again. A
// unit that is backing off (not answering) gets one try per request. No
// request begins once a stop was asked for. A system call cut short by a
// signal (EINTR) is tried again; it is never taken for a lost port.
//
// After a try that timed out or got a reply that is not the answer (or a
// try answered after one that was not), the unit's next request waits
// until one more response timeout has passed (but for a unit that is
// backing off), and whatever came meanwhile is dropped: a reply that comes
// late must not pass for the reply to the unit's next request, which may
// have the same length (registers 1-4 taken for 7-10). The tries of one
// request follow at once: a late reply to the same request answers it as
// well. Requests to other units do not wait: a late reply is another
// slave's to them, and refused as such. A reply later than twice the
// response timeout cannot be told apart on an RTU line; set the timeout
// above the units' slowest answer.
//
// Once a request of a unit went unanswered (given up after its tries), the
// rest of the unit's round is not tried (its requests fail at once,
// without going out): a unit that stops answering costs a pass one
// request's tries, not every request's. begin_round() starts a round (a
// poll or a command).
//
// A try on a port that was lost first opens it again (SerialPort::reopen);
// between passes the bus opens it on the port's own schedule (reopen_port).
//
// At debug level every try is traced: the request and the reply in hex,
// the unit and the outcome.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "gateway/config/config.h"
#include "gateway/line/frame_exchange.h"
#include "gateway/line/line_waits.h"
#include "gateway/line/serial_port.h"
#include "gateway/line/try_outcome.h"
#include "standin/services.h"

namespace gw::line {

// Per unit, since the gateway started.
struct LineCounters {
  long requests = 0;     // requests sent, tries again included
  long timeouts = 0;     // tries that got no reply in time
  long bad_replies = 0;  // tries answered by a corrupt or mismatched reply
  long exceptions = 0;   // tries answered by an exception reply
  long port_errors = 0;  // tries that failed because the port was gone or could not be reopened
  long failed = 0;       // requests given up after every try
};

// Used by the bus's thread only (set up before it starts).
class RtuLink : public standin::ModbusLink {
 public:
  // Opens the port (see SerialPort): throws PortBusy or LinkError, but
  // when `wait_for_port` leaves a port that cannot be opened closed, and
  // its first try opens it as after a loss.
  explicit RtuLink(const config::BusSettings& bus, bool wait_for_port = false);
  RtuLink(const RtuLink&) = delete;
  RtuLink& operator=(const RtuLink&) = delete;

  // The bus worker that drives the line; set before the first exchange.
  void set_waits(LineWaits& waits);

  // Puts a device on the bus at `slave`; `name` names it in messages, and
  // its counters start from `counters`.
  void attach(const SPModbus& device, int slave, const std::string& name,
              const LineCounters& counters = {});
  // Takes a device off the bus; returns its counters.
  LineCounters detach(const SPModbus& device);
  // New response timeout (1..60000 ms) and retries (0..10), from the next try.
  void set_timing(int response_timeout_ms, int retries);
  // A unit that is not answering gets one try per request, and no wait
  // after a try that timed out.
  void set_backing_off(const SPModbus& device, bool backing_off);
  // The unit's next requests go out again, after one went unanswered.
  void begin_round(const SPModbus& device);
  // The exception code with which the unit refused its last request, if it
  // did.
  std::optional<int> refusal(const SPModbus& device) const;

  int transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) override;

  // Waits `duration` as the line waits between tries; false when a stop
  // came first.
  bool pause(std::chrono::milliseconds duration);
  // "NAME (slave N)" for messages.
  std::string unit_label(const SPModbus& device) const;

  const LineCounters& counters(const SPModbus& device) const;
  const PortCounters& port_counters() const { return port_.counters(); }
  bool port_open() const { return port_.is_open(); }
  // While the port is closed: when it is next to be opened again.
  std::optional<LineWaits::Clock::time_point> port_reopen_due() const { return port_.reopen_due(); }
  // Opens a closed port when its reopening is due (waiting until then);
  // whether it is open.
  bool reopen_port();
  // Why the port could not be opened at the start (see wait_for_port).
  const std::string& open_error() const { return port_.open_error(); }
  const std::string& port() const { return port_.path(); }

 private:
  struct Unit {
    int slave = 0;
    std::string name;
    LineCounters counters;
    bool backing_off = false;
    std::optional<int> refusal;
    // A request went unanswered in this round: the rest is not tried.
    bool unanswered = false;
    // A late reply to the unit's last try may come until then.
    LineWaits::Clock::time_point late_until{};
  };

  // Carries the request out with its tries; false when it got no answer.
  bool carry_out(Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  TryResult try_once(Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  void count_failure(Unit& unit, const TryResult& result);
  void trace(const Unit& unit, const uint8_t* request, int length, const Reply& reply,
             const TryResult& result) const;
  void give_up(Unit& unit, const standin::ModbusRequest& request, int tries, const TryResult& last);

  LineWaits* waits_ = nullptr;
  SerialPort port_;
  FrameExchange exchange_;
  int retries_ = 0;
  std::map<const VDeviceInterface*, Unit> units_;
};

}  // namespace gw::line
