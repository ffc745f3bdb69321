// The gateway's serial line: Modbus RTU through libmodbus, one bus shared by
// every unit, each at its own slave address.
//
// The gateway serves one request at a time, so exchanges never overlap on
// the bus. A request that gets no valid reply is tried again up to
// `retries` times; after that the device gets no reply and the stand-in's
// serial layer reports the failure to it (on_error).
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
  long failed = 0;       // requests given up after every try
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

 private:
  struct Unit {
    int slave = 0;
    std::string name;
    LineCounters counters;
  };

  // One try; the reply's word count (see ModbusLink::transact) or -1.
  int try_once(const Unit& unit, const standin::ModbusRequest& request, uint16_t* words);
  // Notes why a try failed (an errno value and its text); returns -1.
  int failure(int code, const char* reason);
  void give_up(Unit& unit, const standin::ModbusRequest& request, int tries);

  modbus_t* context_ = nullptr;
  int retries_ = 0;
  std::string port_;
  int last_error_code_ = 0;
  std::string last_error_;
  std::map<const VDeviceInterface*, Unit> units_;
};

}  // namespace gw
