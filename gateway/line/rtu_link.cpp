#include "gateway/line/rtu_link.h"

#include <cerrno>
#include <cstring>

#include "gateway/base/log.h"
#include "gateway/line/frames.h"
#include "gateway/line/wire_time.h"

namespace gw::line {
namespace {

using std::chrono::milliseconds;

constexpr int kTriesAgainWhenInterrupted = 3;  // per request

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

RtuLink::RtuLink(const config::BusSettings& bus, bool wait_for_port)
    : port_(bus, wait_for_port),
      exchange_(port_, wire::line_timing(bus), bus.response_timeout_ms),
      retries_(bus.retries) {}

void RtuLink::set_waits(LineWaits& waits) {
  waits_ = &waits;
  exchange_.set_waits(waits);
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
  exchange_.set_response_timeout(response_timeout_ms);
  retries_ = retries;
}

const LineCounters& RtuLink::counters(const SPModbus& device) const {
  return units_.at(&device).counters;
}

void RtuLink::set_backing_off(const SPModbus& device, bool backing_off) {
  const auto found = units_.find(&device);
  if (found != units_.end()) found->second.backing_off = backing_off;
}

void RtuLink::begin_round(const SPModbus& device) {
  const auto found = units_.find(&device);
  if (found != units_.end()) found->second.unanswered = false;
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

bool RtuLink::reopen_port() {
  if (port_.is_open()) return true;
  return port_.reopen(*waits_).outcome == TryOutcome::kOk;
}

bool RtuLink::pause(std::chrono::milliseconds duration) { return waits_->pause(duration); }

std::string RtuLink::unit_label(const SPModbus& device) const {
  const auto found = units_.find(&device);
  if (found == units_.end()) return "unit";
  return found->second.name + " (slave " + std::to_string(found->second.slave) + ")";
}

bool RtuLink::carry_out(Unit& unit, const standin::ModbusRequest& request, uint16_t* words) {
  if (unit.unanswered) return false;  // the rest of the round is not tried
  const int tries = unit.backing_off ? 1 : retries_ + 1;
  int tried = 0, interrupted = 0;
  TryResult result;
  // A late reply to the unit's last request is dropped before this one.
  // Its tries follow one another at once: a late reply to one try of the
  // same request answers the next as well.
  if (!waits_->pause_until(unit.late_until)) return false;
  while (tried < tries) {
    if (waits_->stopping()) return false;  // no request begins after a stop
    waits_->alive();
    ++unit.counters.requests;
    result = try_once(unit, request, words);
    if (result.outcome == TryOutcome::kOk) {
      // The reply may have been an earlier try's: the unit's own reply to
      // this one may still come, and must not pass for the next request's.
      if (tried > 0 && !unit.backing_off)
        unit.late_until = LineWaits::Clock::now() + milliseconds(exchange_.response_timeout_ms());
      return true;
    }
    if (result.outcome == TryOutcome::kStopped) return false;
    // Cut short by a signal: the same try again, a few times.
    if (result.outcome == TryOutcome::kInterrupted && ++interrupted <= kTriesAgainWhenInterrupted)
      continue;
    ++tried;
    count_failure(unit, result);
    if (result.outcome == TryOutcome::kException) break;  // an answer: asking again changes nothing
  }
  give_up(unit, request, tried, result);
  if (result.outcome != TryOutcome::kException) unit.unanswered = true;
  return false;
}

void RtuLink::count_failure(Unit& unit, const TryResult& result) {
  const milliseconds response_timeout(exchange_.response_timeout_ms());
  switch (result.outcome) {
    case TryOutcome::kTimeout:
      ++unit.counters.timeouts;
      // The unit's next try's flush drops a late reply to this one. A unit
      // that is backing off is not waited for: its late reply, should one
      // come, is another slave's to the next request, and refused as such.
      if (!unit.backing_off) unit.late_until = LineWaits::Clock::now() + response_timeout;
      break;
    case TryOutcome::kBadReply:
      ++unit.counters.bad_replies;
      // libmodbus has dropped what followed a frame with a bad CRC.
      if (result.code != EMBBADCRC) unit.late_until = LineWaits::Clock::now() + response_timeout;
      break;
    case TryOutcome::kException:  // a whole frame, and the unit's answer
      ++unit.counters.exceptions;
      break;
    case TryOutcome::kPortError:
      ++unit.counters.port_errors;
      port_.close_lost(result.reason);
      break;
    case TryOutcome::kInterrupted:  // nothing wrong with the line: try again at once
    case TryOutcome::kOk:
    case TryOutcome::kStopped:
      break;
  }
}

TryResult RtuLink::try_once(Unit& unit, const standin::ModbusRequest& request, uint16_t* words) {
  if (!port_.is_open()) {
    TryResult reopened = port_.reopen(*waits_);
    if (reopened.outcome != TryOutcome::kOk) return reopened;
  }
  modbus_set_slave(port_.context(), unit.slave);
  const bool read = is_read(request);
  const frames::Request frame =
      read ? frames::read_request(unit.slave, request.address, request.count)
           : frames::write_request(unit.slave, request.address,
                                   static_cast<uint16_t>(request.value));
  Reply reply;
  // A read's reply may be given up for a stop; a write has gone out, and
  // its echo says whether the unit took it.
  const int reply_length = read ? frames::read_reply_length(request.count) : frames::kEchoLength;
  TryResult result =
      exchange_.exchange(frame.data(), static_cast<int>(frame.size()), reply_length, read, reply);
  if (result.outcome == TryOutcome::kOk) {
    uint16_t echo = 0;
    const frames::ReplyFault fault =
        read ? frames::read_reply(reply.frame, reply.length, unit.slave, request.count, words)
             : frames::write_echo(reply.frame, reply.length, unit.slave, request.address, &echo);
    if (fault == frames::ReplyFault::kException) {
      unit.refusal = reply.frame[2];
      result = {TryOutcome::kException, frames::fault_text(fault, reply.frame, reply.length),
                EBADMSG};
    } else if (fault != frames::ReplyFault::kNone) {
      result = {TryOutcome::kBadReply, frames::fault_text(fault, reply.frame, reply.length),
                EBADMSG};
    } else if (!read) {
      words[0] = echo;
    }
  }
  if (base::log::enabled(base::log::Level::kDebug))
    trace(unit, frame.data(), static_cast<int>(frame.size()), reply, result);
  return result;
}

void RtuLink::trace(const Unit& unit, const uint8_t* request, int length, const Reply& reply,
                    const TryResult& result) const {
  uint8_t sent[16];
  std::memcpy(sent, request, static_cast<size_t>(length));
  const uint16_t crc = frames::crc16(request, length);
  sent[length] = static_cast<uint8_t>(crc & 0xff);
  sent[length + 1] = static_cast<uint8_t>(crc >> 8);
  std::string line = "frame " + unit.name + " (slave " + std::to_string(unit.slave) + "): > " +
                     frames::hex(sent, length + 2) + "; < ";
  line += reply.length > 0 ? frames::hex(reply.frame, reply.length) : std::string("-");
  line += "; ";
  line += result.outcome == TryOutcome::kOk ? std::string("ok") : result.reason;
  base::log::debug(line);
}

void RtuLink::give_up(Unit& unit, const standin::ModbusRequest& request, int tries,
                      const TryResult& last) {
  ++unit.counters.failed;
  base::log::warning(unit.name + " (slave " + std::to_string(unit.slave) +
                     "): " + request_text(request) + ": " + last.reason + " (" +
                     std::to_string(tries) + (tries == 1 ? " try)" : " tries)"));
}

}  // namespace gw::line
