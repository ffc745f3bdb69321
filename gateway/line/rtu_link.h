// A bus's serial line: Modbus RTU through libmodbus, one line shared by the
// units on it, each at its own slave address, one exchange at a time.
//
// The port is locked for the gateway alone (PortLock) before it is set up.
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
// it goes to libmodbus as it is, which reads the rest by its byte timeout.
// So a reply costs a few wake-ups instead of one for every byte, on a line
// that delivers bytes as they come or all at once, and the response
// timeout keeps its meaning: the first byte must come within it.
// The bus shows it is alive while it waits, and a stop ends the wait of a
// read at the next slice: a unit that does not answer never holds a stop
// up for a whole response timeout. A write's reply is awaited to the end,
// so that its outcome is known. No request begins once a stop was asked
// for.
//
// A request that gets no valid reply is tried again up to `retries` times;
// after that the device gets no reply and the stand-in's serial layer
// reports the failure to it (on_error). An exception reply is an answer
// (the unit refused): it is counted as such and not tried again. A unit
// that is backing off (not answering) gets one try per request.
//
// A try that timed out or got a reply that is not the answer is followed by
// a wait of one more response timeout (but for a unit that is backing
// off), and whatever came meanwhile is dropped: a reply that comes late must not pass for the reply
// to the next request, which may have the same length (registers 1-4 taken for 7-10). A reply later
// than twice the response timeout cannot be told apart on an RTU line; set the timeout above the
// units' slowest answer.
//
// A port whose descriptor stops working (a pseudo-terminal whose other end
// went away, a USB adapter pulled out: errors that are neither timeouts nor
// bad replies) is closed and opened again by its path. A try on a closed
// port first waits a back-off delay, as an unanswered try waits for its
// reply, then reopens: 100 ms after the loss, doubling after every failed
// reopening up to 2 s, and back to 100 ms once the port is open. A system
// call cut short by a signal (EINTR) is tried again; it is never taken for
// a lost port.
//
// The port is set to its speed (a termios speed that libmodbus does not set
// is set by the line itself) and, when configured, to RS-485 mode and the
// RTS handling, each time it is opened.
//
// At debug level every try is traced: the request and the reply in hex,
// the unit and the outcome.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <modbus.h>

#include "gateway/config/config.h"
#include "gateway/line/line_waits.h"
#include "gateway/line/port_lock.h"
#include "gateway/line/wire_time.h"
#include "standin/services.h"

namespace gw::line {

class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Per unit, since the gateway started.
struct LineCounters {
  long requests = 0;     // requests sent, tries again included
  long timeouts = 0;     // tries that got no reply in time
  long bad_replies = 0;  // tries answered by a corrupt or mismatched reply
  long exceptions = 0;   // tries answered by an exception reply
  long port_errors = 0;  // tries that failed because the port was gone or could not be reopened
  long failed = 0;       // requests given up after every try
};

// What became of one try.
enum class TryOutcome {
  kOk,
  kTimeout,      // no reply in time
  kBadReply,     // a corrupt or mismatched reply
  kException,    // an exception reply: the unit refused
  kPortError,    // the port does not work (gone, hung up)
  kInterrupted,  // a system call cut short by a signal: nothing wrong with the line
  kStopped,      // given up for a stop
};

// The outcome of a try that failed with `code`: an errno value or one of
// libmodbus's codes. EINTR is never a port error.
TryOutcome failure_of(int code);

// The bus's port, since the gateway started.
struct PortCounters {
  long lost = 0;      // times the open port stopped working and was closed
  long reopened = 0;  // times it was opened again
};

// Used by the bus's thread only (set up before it starts).
class RtuLink : public standin::ModbusLink {
 public:
  // Locks, opens and sets up the port. Throws PortBusy when another
  // process holds it, LinkError naming it for any other failure; but when
  // `wait_for_port`, a port that cannot be opened (missing, say) leaves
  // the line closed, and its first try opens it as after a loss, with the
  // same back-off.
  explicit RtuLink(const config::BusSettings& bus, bool wait_for_port = false);
  ~RtuLink() override;
  RtuLink(const RtuLink&) = delete;
  RtuLink& operator=(const RtuLink&) = delete;

  // The bus worker that drives the line; set before the first exchange.
  void set_waits(LineWaits& waits) { waits_ = &waits; }

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
  const PortCounters& port_counters() const { return port_counters_; }
  bool port_open() const { return port_open_; }
  // Why the port could not be opened at the start (see wait_for_port).
  const std::string& open_error() const { return open_error_; }
  const std::string& port() const { return port_; }

 private:
  struct Unit {
    int slave = 0;
    std::string name;
    LineCounters counters;
    bool backing_off = false;
    std::optional<int> refusal;
  };
  using Outcome = TryOutcome;
  struct Try {
    Outcome outcome = Outcome::kOk;
    std::string reason;  // why it failed
    int code = 0;        // the errno value or libmodbus code behind it
  };
  struct Reply {
    uint8_t frame[MODBUS_RTU_MAX_ADU_LENGTH];
    int length = -1;
    // When the line woke to the first byte, and the last look that found
    // bytes still to come: bounds of when the last one came.
    LineWaits::Clock::time_point first_byte{}, missing_at{};
  };

  // Locks, opens and sets the port up; throws PortBusy or std::system_error.
  void open_port();
  void set_port_up();
  // Carries the request out with its tries; false when it got no answer.
  bool carry_out(Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  void close_lost_port(const std::string& reason);
  // Waits the back-off delay and opens the port again; false (with the
  // reason) when it cannot be opened yet or a stop came.
  bool reopen(Try& result);
  Try try_once(Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  // Sends the frame once the line is quiet and waits for the reply of
  // `reply_length` bytes; a stop ends the wait when `stop_ends_wait`.
  Try exchange(const uint8_t* request, int length, int reply_length, bool stop_ends_wait,
               Reply& reply);
  // Waits for the reply's first byte until `deadline`, then until the
  // reply can be whole or has ended short (see above); then libmodbus
  // reads it.
  Try await_reply(LineWaits::Clock::time_point deadline, int reply_length, bool stop_ends_wait,
                  Reply& reply);
  // Waits for the reply's first byte up to `deadline`: kOk when there is
  // something to read (or the port reports an error for libmodbus to read).
  Try await_first_byte(LineWaits::Clock::time_point deadline, bool stop_ends_wait);
  // When the reply's last character ended on the line, as near as the
  // line can tell (see rtu_link.cpp).
  LineWaits::Clock::time_point reply_end(const Reply& reply) const;
  // Waits until `when`; a stop ends it (false) only when `stop_ends_wait`.
  bool wait_until(LineWaits::Clock::time_point when, bool stop_ends_wait);
  // Bytes that came in and wait to be read; -1 when the port cannot say.
  int bytes_waiting() const;
  void count_failure(Unit& unit, const Try& result);
  void trace(const Unit& unit, const uint8_t* request, int length, const Reply& reply,
             const Try& result) const;
  void give_up(Unit& unit, const standin::ModbusRequest& request, int tries, const Try& last);

  LineWaits* waits_ = nullptr;
  const config::BusSettings settings_;
  std::string port_;
  modbus_t* context_ = nullptr;
  PortLock lock_;
  int retries_ = 0;
  int response_timeout_ms_ = 0;
  int reopen_delay_ms_ = 0;  // before the next reopening
  const wire::LineTiming timing_;
  // A silent interval after the line's last frame: no request before it.
  LineWaits::Clock::time_point quiet_until_{};
  bool port_open_ = false;
  std::string open_error_;
  PortCounters port_counters_;
  std::map<const VDeviceInterface*, Unit> units_;
};

}  // namespace gw::line
