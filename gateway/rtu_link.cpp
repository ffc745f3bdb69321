#include "gateway/rtu_link.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "gateway/write_echo.h"

namespace gw {
namespace {

constexpr int kFirstReopenDelayMs = 100;
constexpr int kLongestReopenDelayMs = 2000;

enum class TryFailure { kTimeout, kBadReply, kPortError };

// A reply that did not come in time, a reply that came wrong (libmodbus's
// own codes: CRC, length, slave, exceptions; or a wrong echo), or a port
// that does not work: EIO, ECONNRESET (end of file on a hung-up terminal),
// ENOENT (the device is gone), EBADF and the like.
TryFailure classify(int code) {
  if (code == ETIMEDOUT) return TryFailure::kTimeout;
  if (code >= MODBUS_ENOBASE || code == EBADMSG) return TryFailure::kBadReply;
  return TryFailure::kPortError;
}

// Cut short by a stop signal, so that the gateway stops promptly.
void sleep_ms(int ms) {
  const timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
}

}  // namespace

RtuLink::RtuLink(const BusSettings& bus)
    : retries_(bus.retries), response_timeout_ms_(bus.response_timeout_ms), port_(bus.port) {
  context_ = modbus_new_rtu(bus.port.c_str(), bus.baud, bus.parity, bus.data_bits, bus.stop_bits);
  if (context_ == nullptr)
    throw LinkError("serial port " + bus.port + ": bad settings: " + modbus_strerror(errno));
  if (modbus_connect(context_) != 0) {
    const std::string reason = modbus_strerror(errno);
    modbus_free(context_);
    throw LinkError("cannot open serial port " + bus.port + ": " + reason);
  }
  port_open_ = true;
  reopen_delay_ms_ = kFirstReopenDelayMs;
  modbus_set_response_timeout(context_, static_cast<uint32_t>(bus.response_timeout_ms / 1000),
                              static_cast<uint32_t>(bus.response_timeout_ms % 1000 * 1000));
  // After a corrupt reply libmodbus waits out the line and drops what came.
  modbus_set_error_recovery(context_, MODBUS_ERROR_RECOVERY_PROTOCOL);
}

RtuLink::~RtuLink() {
  modbus_close(context_);
  modbus_free(context_);
}

void RtuLink::attach(const SPModbus& device, int slave, const std::string& name) {
  Unit& unit = units_[&device];
  unit.slave = slave;
  unit.name = name;
}

const LineCounters& RtuLink::counters(const SPModbus& device) const {
  return units_.at(&device).counters;
}

int RtuLink::transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) {
  const auto found = units_.find(&device);
  if (found == units_.end()) return -1;  // not on this bus
  Unit& unit = found->second;
  for (int tries = 1; tries <= retries_ + 1; ++tries) {
    ++unit.counters.requests;
    const int count = try_once(unit, request, words);
    if (count >= 0) return count;
    after_failed_try(unit);
  }
  give_up(unit, request, retries_ + 1);
  return -1;
}

void RtuLink::after_failed_try(Unit& unit) {
  switch (classify(last_error_code_)) {
    case TryFailure::kTimeout:
      ++unit.counters.timeouts;
      sleep_ms(response_timeout_ms_);  // the next try's flush drops a late reply
      break;
    case TryFailure::kBadReply:
      ++unit.counters.bad_replies;
      break;
    case TryFailure::kPortError:
      ++unit.counters.port_errors;
      close_lost_port();
      break;
  }
}

void RtuLink::close_lost_port() {
  if (!port_open_) return;
  modbus_close(context_);
  port_open_ = false;
  ++port_counters_.lost;
  std::cerr << "norvane-gateway: serial port " << port_ << " lost: " << last_error_
            << "; opening it again" << std::endl;
}

bool RtuLink::reopen() {
  sleep_ms(reopen_delay_ms_);
  if (modbus_connect(context_) != 0) {
    const int code = errno;
    reopen_delay_ms_ = std::min(2 * reopen_delay_ms_, kLongestReopenDelayMs);
    failure(code, std::string("cannot reopen the serial port: ") + std::strerror(code));
    return false;
  }
  port_open_ = true;
  reopen_delay_ms_ = kFirstReopenDelayMs;
  ++port_counters_.reopened;
  std::cerr << "norvane-gateway: serial port " << port_ << " open again" << std::endl;
  return true;
}

int RtuLink::try_once(const Unit& unit, const standin::ModbusRequest& request, uint16_t* words) {
  if (!port_open_ && !reopen()) return -1;
  // A late reply to an earlier request must not pass for this one's.
  modbus_flush(context_);
  modbus_set_slave(context_, unit.slave);
  if (request.function == standin::ModbusRequest::kReadHoldingRegisters) {
    const int count = modbus_read_registers(context_, request.address, request.count, words);
    if (count != request.count) return failure(errno, modbus_strerror(errno));
    return count;
  }
  const auto frame =
      write_request(unit.slave, request.address, static_cast<uint16_t>(request.value));
  uint8_t reply[MODBUS_RTU_MAX_ADU_LENGTH];
  int length = -1;
  if (modbus_send_raw_request(context_, frame.data(), static_cast<int>(frame.size())) > 0)
    length = modbus_receive_confirmation(context_, reply);
  if (length < 0) return failure(errno, modbus_strerror(errno));
  const std::optional<uint16_t> echo = echo_value(reply, length, unit.slave, request.address);
  if (!echo) return failure(EBADMSG, "the reply is not the echo of the write");
  words[0] = *echo;
  return 1;
}

int RtuLink::failure(int code, const std::string& reason) {
  last_error_code_ = code;
  last_error_ = reason;
  return -1;
}

void RtuLink::give_up(Unit& unit, const standin::ModbusRequest& request, int tries) {
  ++unit.counters.failed;
  const bool read = request.function == standin::ModbusRequest::kReadHoldingRegisters;
  std::cerr << "norvane-gateway: " << unit.name << " (slave " << unit.slave
            << "): " << (read ? "read " : "write ") << request.address
            << (read ? "+" + std::to_string(request.count) : "=" + std::to_string(request.value))
            << ": " << last_error_ << " (" << tries << (tries == 1 ? " try)" : " tries)")
            << std::endl;
}

}  // namespace gw
