#include "gateway/bus/rtu_link.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "gateway/bus/frames.h"
#include "gateway/bus/serial_speeds.h"
#include "gateway/devices/acknowledgements.h"
#include "gateway/service/log.h"

namespace gw {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFirstReopenDelayMs = 100;
constexpr int kLongestReopenDelayMs = 2000;
constexpr int kTriesAgainWhenInterrupted = 3;  // per request
// The last characters of a reply are left to libmodbus, which reads each
// as it comes: a reply a moment later than its soonest end (a unit or a
// driver a little late) costs a wake-up or two rather than another sleep.
constexpr int kCharactersLeftToLibmodbus = 2;

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

RtuLink::RtuLink(const BusSettings& bus, bool wait_for_port)
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
  const SerialSpeed* speed = serial_speed(settings_.baud);
  if (speed != nullptr && !speed->set_by_libmodbus) {
    termios line{};
    const int fd = modbus_get_socket(context_);
    if (tcgetattr(fd, &line) != 0 || cfsetispeed(&line, speed->code) != 0 ||
        cfsetospeed(&line, speed->code) != 0 || tcsetattr(fd, TCSANOW, &line) != 0)
      fail("cannot set bus.baud " + std::to_string(settings_.baud));
  }
  if (settings_.serial_mode) {
    const bool rs485 = *settings_.serial_mode == SerialMode::kRs485;
    if (modbus_rtu_set_serial_mode(context_, rs485 ? MODBUS_RTU_RS485 : MODBUS_RTU_RS232) != 0)
      fail(std::string("cannot set bus.serial_mode ") + (rs485 ? "rs485" : "rs232"));
  }
  if (settings_.rts) {
    const int mode = *settings_.rts == RtsMode::kUp     ? MODBUS_RTU_RTS_UP
                     : *settings_.rts == RtsMode::kDown ? MODBUS_RTU_RTS_DOWN
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
  if (is_read(request)) return request.count;
  if (const StateAcknowledgement* rule = state_acknowledgement(request.address, request.value))
    return acknowledge_by_state(unit, rule->state_register, rule->state, words) ? 1 : -1;
  return 1;
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

bool RtuLink::acknowledge_by_state(Unit& unit, int state_register, uint16_t state,
                                   uint16_t* words) {
  const standin::ModbusRequest read{standin::ModbusRequest::kReadHoldingRegisters, state_register,
                                    1, 0};
  uint16_t shown = 0;
  for (int i = 0; i < kStateReads; ++i) {
    if (i > 0 && !waits_->pause(kStateReadSpacing)) return false;
    if (!carry_out(unit, read, &shown)) return false;
    if (shown == state) break;
  }
  if (shown != state)
    log::warning(unit.name + " (slave " + std::to_string(unit.slave) + "): register " +
                 std::to_string(state_register) + " shows " + std::to_string(shown) + ", not " +
                 std::to_string(state) + ", " + std::to_string(kStateReads) +
                 " reads after the write");
  words[0] = shown;
  return true;
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
  log::warning("serial port " + port_ + " lost: " + reason + "; opening it again");
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
  log::notice("serial port " + port_ + " open again");
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
  if (log::enabled(log::Level::kDebug))
    trace(unit, frame.data(), static_cast<int>(frame.size()), reply, result);
  return result;
}

RtuLink::Try RtuLink::exchange(const uint8_t* request, int length, int reply_length,
                               bool stop_ends_wait, Reply& reply) {
  if (!waits_->pause_until(quiet_until_)) return {Outcome::kStopped, "stopping", 0};
  // A late reply to an earlier request must not pass for this one's.
  modbus_flush(context_);
  if (waits_->stopping()) return {Outcome::kStopped, "stopping", 0};
  const auto sent = Clock::now();
  if (modbus_send_raw_request(context_, request, length) < 0) {
    // EAGAIN: the line did not take the request (its output queue is full).
    const int code = errno;
    return {failure_of(code), modbus_strerror(code == EAGAIN ? ETIMEDOUT : code), code};
  }
  quiet_until_ = sent + wire::frames_time(timing_, frames::kRequestLength) + timing_.silence;
  // The response timeout counts from the request's having gone, as
  // libmodbus's own does (with RTS handled, the send returns only then).
  const auto deadline = Clock::now() + milliseconds(response_timeout_ms_);
  Try result = await_reply(deadline, reply_length, stop_ends_wait, reply);
  // Whatever came in (a reply, a bad one) ended on the line by now.
  if (reply.length >= 0 || result.outcome == Outcome::kBadReply)
    quiet_until_ = reply_end(reply) + timing_.silence;
  return result;
}

// A unit sends a frame's characters back to back (a gap of more than 1.5
// characters would cut it): its last ended (length - 1) characters after
// the first, which came no later than the line woke to it. The line's own
// work after a reply then overlaps the silent interval instead of adding
// to it. Bytes still missing at a look came after it; and nothing came
// after now. A frame that libmodbus could not take counts from now.
LineWaits::Clock::time_point RtuLink::reply_end(const Reply& reply) const {
  const auto now = Clock::now();
  if (reply.length <= 0 || reply.first_byte == Clock::time_point{}) return now;
  const auto back_to_back = reply.first_byte + wire::frames_time(timing_, reply.length - 1);
  return std::min(now, std::max(back_to_back, reply.missing_at));
}

RtuLink::Try RtuLink::await_reply(Clock::time_point deadline, int reply_length, bool stop_ends_wait,
                                  Reply& reply) {
  const Try first = await_first_byte(deadline, stop_ends_wait);
  if (first.outcome != Outcome::kOk) return first;
  // The first byte is in (or all of the reply, on a line that delivers at
  // once). An exception reply ends after kExceptionLength characters: a
  // look a silent interval after that tells it from a reply still coming.
  const auto first_byte = Clock::now();
  reply.first_byte = first_byte;
  int seen = bytes_waiting();
  if (seen < reply_length) reply.missing_at = Clock::now();
  auto look_at = first_byte + wire::frames_time(timing_, frames::kExceptionLength - 1) +
                 timing_.silence + timing_.character;
  while (seen >= 0 && reply_length - seen > kCharactersLeftToLibmodbus) {
    if (!wait_until(look_at, stop_ends_wait)) return {Outcome::kStopped, "stopping", 0};
    const int waiting = bytes_waiting();
    if (waiting < reply_length) reply.missing_at = Clock::now();
    // Nothing more came since the last look, or no more than a short
    // frame by the time a long one would have gone past it: the frame
    // ended (a short or cut one; libmodbus tells which).
    if (waiting == seen || (seen < frames::kExceptionLength && waiting <= frames::kExceptionLength))
      break;
    seen = waiting;
    // Still coming: the rest takes its characters' time.
    look_at = Clock::now() + wire::frames_time(timing_, reply_length - seen);
  }
  // Every byte that came is there: libmodbus reads them at once, and waits
  // for any that are still on their way by its byte timeout.
  const long left_us = std::max<long>(
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count(), 1000);
  modbus_set_response_timeout(context_, static_cast<uint32_t>(left_us / 1000000),
                              static_cast<uint32_t>(left_us % 1000000));
  reply.length = modbus_receive_confirmation(context_, reply.frame);
  if (reply.length >= 0) return {};
  const int code = errno;
  return {failure_of(code), modbus_strerror(code), code};
}

RtuLink::Try RtuLink::await_first_byte(Clock::time_point deadline, bool stop_ends_wait) {
  const int fd = modbus_get_socket(context_);
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {Outcome::kTimeout, modbus_strerror(ETIMEDOUT), ETIMEDOUT};
    pollfd line{fd, POLLIN, 0};
    const int slice_ms =
        static_cast<int>(std::min<long>(left.count() + 1, LineWaits::kAliveEveryMs));
    const int ready = ::poll(&line, 1, slice_ms);
    // Something to read, or an error that libmodbus's read will report.
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) {
      const int code = errno;
      return {failure_of(code), std::strerror(code), code};
    }
    waits_->alive();
    if (stop_ends_wait && waits_->stopping()) return {Outcome::kStopped, "stopping", 0};
  }
}

bool RtuLink::wait_until(Clock::time_point when, bool stop_ends_wait) {
  if (waits_->pause_until(when)) return true;
  if (stop_ends_wait) return false;
  std::this_thread::sleep_until(when);  // a write's answer is awaited through a stop
  return true;
}

int RtuLink::bytes_waiting() const {
  int count = 0;
  return ::ioctl(modbus_get_socket(context_), FIONREAD, &count) == 0 ? count : -1;
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
  log::debug(line);
}

void RtuLink::give_up(Unit& unit, const standin::ModbusRequest& request, int tries,
                      const Try& last) {
  ++unit.counters.failed;
  log::warning(unit.name + " (slave " + std::to_string(unit.slave) + "): " + request_text(request) +
               ": " + last.reason + " (" + std::to_string(tries) +
               (tries == 1 ? " try)" : " tries)"));
}

}  // namespace gw
