// The gateway's serial line: Modbus RTU through libmodbus, one bus shared by
// every unit, each at its own slave address.
//
// The gateway serves one request at a time, so exchanges never overlap on
// the bus. A request that gets no valid reply is tried again up to
// `retries` times; after that the device gets no reply and the stand-in's
// serial layer reports the failure to it (on_error).
//
// A try that timed out is followed by a wait of one more response timeout,
// and whatever came meanwhile is dropped: a reply that comes late must not
// pass for the reply to the next request, which may have the same length
// (registers 1-4 taken for 7-10). A reply later than twice the response
// timeout cannot be told apart on an RTU line; set the timeout above the
// units' slowest answer.
//
// A port whose descriptor stops working (a pseudo-terminal whose other end
// went away, a USB adapter pulled out: errors that are neither timeouts nor
// bad replies) is closed and opened again by its path. A try on a closed
// port first waits a back-off delay, as an unanswered try waits for its
// reply, then reopens: 100 ms after the loss, doubling after every failed
// reopening up to 2 s, and back to 100 ms once the port is open.
#pragma once

#include <map>
#include <stdexcept>
#include <string>

#include <modbus.h>

#include "gateway/config.h"
#include "standin/services.h"

namespace gw {

class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Per unit, since the gateway started.
struct LineCounters {
  long requests = 0;     // requests sent, tries again included
  long timeouts = 0;     // tries that got no reply in time
  long bad_replies = 0;  // tries answered by a corrupt, refused or mismatched reply
  long port_errors = 0;  // tries that failed because the port was gone or could not be reopened
  long failed = 0;       // requests given up after every try
};

// The bus's port, since the gateway started.
struct PortCounters {
  long lost = 0;      // times the open port stopped working and was closed
  long reopened = 0;  // times it was opened again
};

class RtuLink : public standin::ModbusLink {
 public:
  // Opens and sets up the port; throws LinkError naming it on failure.
  explicit RtuLink(const BusSettings& bus);
  ~RtuLink() override;
  RtuLink(const RtuLink&) = delete;
  RtuLink& operator=(const RtuLink&) = delete;

  // Puts a device on the bus at `slave`; `name` names it in messages.
  void attach(const SPModbus& device, int slave, const std::string& name);

  int transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) override;

  const LineCounters& counters(const SPModbus& device) const;
  const PortCounters& port_counters() const { return port_counters_; }
  const std::string& port() const { return port_; }

 private:
  struct Unit {
    int slave = 0;
    std::string name;
    LineCounters counters;
  };

  // One try; the reply's word count (see ModbusLink::transact) or -1.
  int try_once(const Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  // Notes why a try failed (an errno value and its text); returns -1.
  int failure(int code, const std::string& reason);
  // Counts the failed try; waits out a late reply after a timeout and
  // closes the port if it no longer works.
  void after_failed_try(Unit& unit);
  void close_lost_port();
  // Waits the back-off delay and opens the port again; false (the failure
  // noted) when it cannot be opened yet.
  bool reopen();
  void give_up(Unit& unit, const standin::ModbusRequest& request, int tries);

  modbus_t* context_ = nullptr;
  int retries_ = 0;
  int response_timeout_ms_ = 0;
  std::string port_;
  bool port_open_ = false;
  int reopen_delay_ms_ = 0;  // before the next reopening
  PortCounters port_counters_;
  int last_error_code_ = 0;
  std::string last_error_;
  std::map<const VDeviceInterface*, Unit> units_;
};

}  // namespace gw
