// The stand-in's serial layer: carries out the request that a device has
// outstanding and delivers the reply to it, as the host's Modbus master does.
//
// A device issues at most one request at a time (modbus_read_registers,
// modbus_write_register) and gets the reply through process_payload, which
// may issue the next request. The embedding program decides when to serve.
#pragma once

#include <optional>

#include "standin/services.h"

namespace standin {

// The request the device is waiting on, if any.
std::optional<ModbusRequest> outstanding_request(const SPModbus& device);

// Puts `count` words (at most SPModbus::kMaxRegisters) into the device's
// rx_registers and hands them to process_payload; returns its result.
int deliver_reply(SPModbus& device, const uint16_t* words, int count);

enum class Served { kNothingOutstanding, kDelivered, kFailed };

// Carries out the outstanding request through the installed link. On a
// valid reply it delivers the words; otherwise it drops the request and calls
// the device's on_error, and the device's next RefreshStatus starts over.
Served serve_request(SPModbus& device);

struct ExchangeOutcome {
  int replies = 0;      // replies delivered
  bool failed = false;  // a request went unanswered
};

// Serves requests until the device has none outstanding or one fails: a
// whole poll round, or a command's write and its acknowledgement.
ExchangeOutcome serve_exchange(SPModbus& device, int max_requests = 64);

}  // namespace standin
