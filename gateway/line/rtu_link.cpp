#include "gateway/line/rtu_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "gateway/base/log.h"
#include "gateway/config/serial_speeds.h"
#include "gateway/line/frames.h"

namespace gw::line {
namespace {

using std::chrono::milliseconds;

constexpr int kFirstReopenDelayMs = 100;
constexpr int kLongestReopenDelayMs = 2000;
constexpr int kTriesAgainWhenInterrupted = 3;  // per request

// The port cannot be opened (as opposed to being held by another process
// or refusing its settings).
class PortUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool is_read(const standin::ModbusRequest& request) {
  return request.function == standin::ModbusRequest::kReadHoldingRegisters;
}

// "read 1+4", "write 13=170"
std::string request_text(const standin::ModbusRequest& request) {
  return is_read(request)
             ? "read " + std::to_string(request.address) + "+" + std::to_string(request.count)
             : "write " + std::to_string(request.address) + "=" + std::to_string(request.value);
}

}  // namespace

TryOutcome failure_of(int code) {
  if (code == EINTR) return TryOutcome::kInterrupted;
  if (code == ETIMEDOUT || code == EAGAIN) return TryOutcome::kTimeout;
  // libmodbus's own codes: CRC, length, exceptions, ...; our frame checks.
  if (code >= MODBUS_ENOBASE || code == EBADMSG) return TryOutcome::kBadReply;
  // EIO, ECONNRESET (end of file on a hung-up terminal), ENOENT, EBADF...
  return TryOutcome::kPortError;
}

RtuLink::RtuLink(const config::BusSettings& bus, bool wait_for_port)
    : settings_(bus),
      port_(bus.port),
      retries_(bus.retries),
      response_timeout_ms_(bus.response_timeout_ms),
      reopen_delay_ms_(kFirstReopenDelayMs),
      timing_(wire::line_timing(bus)) {
  context_ = modbus_new_rtu(bus.port.c_str(), bus.baud, bus.parity, bus.data_bits, bus.stop_bits);
  if (context_ == nullptr)
    throw LinkError("serial port " + bus.port + ": bad settings: " + modbus_strerror(errno));
  // After a corrupt reply libmodbus drops what the line holds.
  modbus_set_error_recovery(context_, MODBUS_ERROR_RECOVERY_PROTOCOL);
  try {
    open_port();
  } catch (const PortUnavailable& error) {
    if (!wait_for_port) {
      modbus_free(context_);
      throw LinkError(error.what());
    }
    open_error_ = error.what();
  } catch (const std::system_error& error) {
    modbus_free(context_);
    throw LinkError(error.what());
  } catch (...) {
    modbus_free(context_);
    throw;
  }
}

RtuLink::~RtuLink() {
  if (port_open_) modbus_close(context_);
  lock_.release();
  modbus_free(context_);
}

void RtuLink::open_port() {
  PortLock lock;
  try {
    lock = PortLock::take(port_);
  } catch (const std::system_error& error) {
    throw PortUnavailable(error.what());
  }
  if (modbus_connect(context_) != 0)
    throw PortUnavailable(
        std::system_error(errno, std::generic_category(), "cannot open serial port " + port_)
            .what());
  try {
    set_port_up();
  } catch (...) {
    modbus_close(context_);
    throw;
  }
  lock.make_exclusive();
  lock_ = std::move(lock);
  port_open_ = true;
}

void RtuLink::set_port_up() {
  auto fail = [&](const std::string& what) {
    throw std::system_error(errno, std::generic_category(), "serial port " + port_ + ": " + what);
  };
  const config::SerialSpeed* speed = config::serial_speed(settings_.baud);
  if (speed != nullptr && !speed->set_by_libmodbus) {
    termios line{};
    const int fd = modbus_get_socket(context_);
    if (tcgetattr(fd, &line) != 0 || cfsetispeed(&line, speed->code) != 0 ||
        cfsetospeed(&line, speed->code) != 0 || tcsetattr(fd, TCSANOW, &line) != 0)
      fail("cannot set bus.baud " + std::to_string(settings_.baud));
  }
  if (settings_.serial_mode) {
    const bool rs485 = *settings_.serial_mode == config::SerialMode::kRs485;
    if (modbus_rtu_set_serial_mode(context_, rs485 ? MODBUS_RTU_RS485 : MODBUS_RTU_RS232) != 0)
      fail(std::string("cannot set bus.serial_mode ") + (rs485 ? "rs485" : "rs232"));
  }
  if (settings_.rts) {
    const int mode = *settings_.rts == config::RtsMode::kUp     ? MODBUS_RTU_RTS_UP
                     : *settings_.rts == config::RtsMode::kDown ? MODBUS_RTU_RTS_DOWN
                                                                : MODBUS_RTU_RTS_NONE;
    if (modbus_rtu_set_rts(context_, mode) != 0) fail("cannot set bus.rts");
  }
  if (settings_.rts_delay_us && modbus_rtu_set_rts_delay(context_, *settings_.rts_delay_us) != 0)
    fail("cannot set bus.rts_delay_us");
}

void RtuLink::attach(const SPModbus& device, int slave, const std::string& name,
                     const LineCounters& counters) {
  Unit& unit = units_[&device] = Unit{};
  unit.slave = slave;
  unit.name = name;
  unit.counters = counters;
}

LineCounters RtuLink::detach(const SPModbus& device) {
  const auto found = units_.find(&device);
  if (found == units_.end()) return {};
  const LineCounters counters = found->second.counters;
  units_.erase(found);
  return counters;
}

void RtuLink::set_timing(int response_timeout_ms, int retries) {
  response_timeout_ms_ = response_timeout_ms;
  retries_ = retries;
}

const LineCounters& RtuLink::counters(const SPModbus& device) const {
  return units_.at(&device).counters;
}

void RtuLink::set_backing_off(const SPModbus& device, bool backing_off) {
  const auto found = units_.find(&device);
  if (found != units_.end()) found->second.backing_off = backing_off;
}

std::optional<int> RtuLink::refusal(const SPModbus& device) const {
  const auto found = units_.find(&device);
  return found == units_.end() ? std::nullopt : found->second.refusal;
}

int RtuLink::transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) {
  const auto found = units_.find(&device);
  if (found == units_.end()) return -1;  // not on this bus
  Unit& unit = found->second;
  unit.refusal.reset();
  if (!carry_out(unit, request, words)) return -1;
  return is_read(request) ? request.count : 1;
}

bool RtuLink::pause(std::chrono::milliseconds duration) { return waits_->pause(duration); }

std::string RtuLink::unit_label(const SPModbus& device) const {
  const auto found = units_.find(&device);
  if (found == units_.end()) return "unit";
  return found->second.name + " (slave " + std::to_string(found->second.slave) + ")";
}

bool RtuLink::carry_out(Unit& unit, const standin::ModbusRequest& request, uint16_t* words) {
  const int tries = unit.backing_off ? 1 : retries_ + 1;
  int tried = 0, interrupted = 0;
  Try result;
  while (tried < tries) {
    if (waits_->stopping()) return false;  // no request begins after a stop
    waits_->alive();
    ++unit.counters.requests;
    result = try_once(unit, request, words);
    if (result.outcome == Outcome::kOk) return true;
    if (result.outcome == Outcome::kStopped) return false;
    // Cut short by a signal: the same try again, a few times.
    if (result.outcome == Outcome::kInterrupted && ++interrupted <= kTriesAgainWhenInterrupted)
      continue;
    ++tried;
    count_failure(unit, result);
    if (result.outcome == Outcome::kException) break;  // an answer: asking again changes nothing
  }
  give_up(unit, request, tried, result);
  return false;
}

void RtuLink::count_failure(Unit& unit, const Try& result) {
  switch (result.outcome) {
    case Outcome::kTimeout:
      ++unit.counters.timeouts;
      // The next try's flush drops a late reply to this one. A unit that
      // is backing off is not waited for: its late reply, should one come,
      // is another slave's to the next request, and refused as such.
      if (!unit.backing_off) waits_->pause(milliseconds(response_timeout_ms_));
      break;
    case Outcome::kBadReply:
      ++unit.counters.bad_replies;
      // libmodbus has dropped what followed a frame with a bad CRC.
      if (result.code != EMBBADCRC) waits_->pause(milliseconds(response_timeout_ms_));
      break;
    case Outcome::kException:  // a whole frame, and the unit's answer
      ++unit.counters.exceptions;
      break;
    case Outcome::kPortError:
      ++unit.counters.port_errors;
      close_lost_port(result.reason);
      break;
    case Outcome::kInterrupted:  // nothing wrong with the line: try again at once
    case Outcome::kOk:
    case Outcome::kStopped:
      break;
  }
}

void RtuLink::close_lost_port(const std::string& reason) {
  if (!port_open_) return;
  modbus_close(context_);
  lock_.release();
  port_open_ = false;
  ++port_counters_.lost;
  base::log::warning("serial port " + port_ + " lost: " + reason + "; opening it again");
}

bool RtuLink::reopen(Try& result) {
  if (!waits_->pause(milliseconds(reopen_delay_ms_))) {
    result = {Outcome::kStopped, "stopping", 0};
    return false;
  }
  try {
    open_port();
  } catch (const std::exception& error) {
    reopen_delay_ms_ = std::min(2 * reopen_delay_ms_, kLongestReopenDelayMs);
    result = {Outcome::kPortError, error.what(), EIO};
    return false;
  }
  reopen_delay_ms_ = kFirstReopenDelayMs;
  ++port_counters_.reopened;
  base::log::notice("serial port " + port_ + " open again");
  return true;
}

RtuLink::Try RtuLink::try_once(Unit& unit, const standin::ModbusRequest& request, uint16_t* words) {
  Try result;
  if (!port_open_ && !reopen(result)) return result;
  modbus_set_slave(context_, unit.slave);
  const bool read = is_read(request);
  const frames::Request frame =
      read ? frames::read_request(unit.slave, request.address, request.count)
           : frames::write_request(unit.slave, request.address,
                                   static_cast<uint16_t>(request.value));
  Reply reply;
  // A read's reply may be given up for a stop; a write has gone out, and
  // its echo says whether the unit took it.
  const int reply_length = read ? frames::read_reply_length(request.count) : frames::kEchoLength;
  result = exchange(frame.data(), static_cast<int>(frame.size()), reply_length, read, reply);
  if (result.outcome == Outcome::kOk) {
    uint16_t echo = 0;
    const frames::ReplyFault fault =
        read ? frames::read_reply(reply.frame, reply.length, unit.slave, request.count, words)
             : frames::write_echo(reply.frame, reply.length, unit.slave, request.address, &echo);
    if (fault == frames::ReplyFault::kException) {
      unit.refusal = reply.frame[2];
      result = {Outcome::kException, frames::fault_text(fault, reply.frame, reply.length), EBADMSG};
    } else if (fault != frames::ReplyFault::kNone) {
      result = {Outcome::kBadReply, frames::fault_text(fault, reply.frame, reply.length), EBADMSG};
    } else if (!read) {
      words[0] = echo;
    }
  }
  if (base::log::enabled(base::log::Level::kDebug))
    trace(unit, frame.data(), static_cast<int>(frame.size()), reply, result);
  return result;
}

void RtuLink::trace(const Unit& unit, const uint8_t* request, int length, const Reply& reply,
                    const Try& result) const {
  uint8_t sent[16];
  std::memcpy(sent, request, static_cast<size_t>(length));
  const uint16_t crc = frames::crc16(request, length);
  sent[length] = static_cast<uint8_t>(crc & 0xff);
  sent[length + 1] = static_cast<uint8_t>(crc >> 8);
  std::string line = "frame " + unit.name + " (slave " + std::to_string(unit.slave) + "): > " +
                     frames::hex(sent, length + 2) + "; < ";
  line += reply.length > 0 ? frames::hex(reply.frame, reply.length) : std::string("-");
  line += "; ";
  line += result.outcome == Outcome::kOk ? std::string("ok") : result.reason;
  base::log::debug(line);
}

void RtuLink::give_up(Unit& unit, const standin::ModbusRequest& request, int tries,
                      const Try& last) {
  ++unit.counters.failed;
  base::log::warning(unit.name + " (slave " + std::to_string(unit.slave) +
                     "): " + request_text(request) + ": " + last.reason + " (" +
                     std::to_string(tries) + (tries == 1 ? " try)" : " tries)"));
}

}  // namespace gw::line
