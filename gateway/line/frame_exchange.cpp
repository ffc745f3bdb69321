#include "gateway/line/frame_exchange.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "gateway/line/frames.h"

namespace gw::line {
namespace {

using std::chrono::milliseconds;

// The last characters of a reply are left to libmodbus, which reads each
// as it comes: a reply a moment later than its soonest end (a unit or a
// driver a little late) costs a wake-up or two rather than another sleep.
constexpr int kCharactersLeftToLibmodbus = 2;

}  // namespace

FrameExchange::FrameExchange(SerialPort& port, const wire::LineTiming& timing,
                             int response_timeout_ms)
    : port_(port), timing_(timing), response_timeout_ms_(response_timeout_ms) {}

TryResult FrameExchange::exchange(const uint8_t* request, int length, int reply_length,
                                  bool stop_ends_wait, Reply& reply) {
  if (!waits_->pause_until(quiet_until_)) return stopped();
  modbus_t* context = port_.context();
  // A late reply to an earlier request must not pass for this one's.
  modbus_flush(context);
  if (waits_->stopping()) return stopped();
  const auto sent = Clock::now();
  if (modbus_send_raw_request(context, request, length) < 0) {
    // EAGAIN: the line did not take the request (its output queue is full).
    const int code = errno;
    return {failure_of(code), modbus_strerror(code == EAGAIN ? ETIMEDOUT : code), code};
  }
  quiet_until_ = sent + wire::frames_time(timing_, frames::kRequestLength) + timing_.silence;
  // The response timeout counts from the request's having gone, as
  // libmodbus's own does (with RTS handled, the send returns only then).
  const auto deadline = Clock::now() + milliseconds(response_timeout_ms_);
  TryResult result = await_reply(deadline, reply_length, stop_ends_wait, reply);
  // Whatever came in (a reply, a bad one) ended on the line no later than
  // its last byte was read, just now: an estimate from when its first byte
  // came would put a reply whose characters came late (a unit or an
  // adapter that falls behind) before its real end.
  if (reply.length >= 0 || result.outcome == TryOutcome::kBadReply)
    quiet_until_ = Clock::now() + timing_.silence;
  return result;
}

TryResult FrameExchange::await_reply(Clock::time_point deadline, int reply_length,
                                     bool stop_ends_wait, Reply& reply) {
  const TryResult first = await_first_byte(deadline, stop_ends_wait);
  if (first.outcome != TryOutcome::kOk) return first;
  // The first byte is in (or all of the reply, on a line that delivers at
  // once). An exception reply ends after kExceptionLength characters: a
  // look a silent interval after that tells it from a reply still coming.
  const auto first_byte = Clock::now();
  int seen = port_.bytes_waiting();
  auto look_at = first_byte + wire::frames_time(timing_, frames::kExceptionLength - 1) +
                 timing_.silence + timing_.character;
  while (seen >= 0 && reply_length - seen > kCharactersLeftToLibmodbus) {
    if (!wait_until(look_at, stop_ends_wait)) return stopped();
    const int waiting = port_.bytes_waiting();
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
  modbus_t* context = port_.context();
  modbus_set_response_timeout(context, static_cast<uint32_t>(left_us / 1000000),
                              static_cast<uint32_t>(left_us % 1000000));
  // libmodbus's own byte timeout (0.5 s) would make a cut reply cost far
  // more than a dropped one at a short response timeout.
  const long byte_us = std::chrono::duration_cast<std::chrono::microseconds>(
                           wire::byte_timeout(timing_, milliseconds(response_timeout_ms_)))
                           .count();
  modbus_set_byte_timeout(context, static_cast<uint32_t>(byte_us / 1000000),
                          static_cast<uint32_t>(byte_us % 1000000));
  reply.length = modbus_receive_confirmation(context, reply.frame);
  if (reply.length >= 0) return {};
  const int code = errno;
  return {failure_of(code), modbus_strerror(code), code};
}

TryResult FrameExchange::await_first_byte(Clock::time_point deadline, bool stop_ends_wait) {
  const int fd = modbus_get_socket(port_.context());
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return {TryOutcome::kTimeout, modbus_strerror(ETIMEDOUT), ETIMEDOUT};
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
    if (stop_ends_wait && waits_->stopping()) return stopped();
  }
}

bool FrameExchange::wait_until(Clock::time_point when, bool stop_ends_wait) {
  if (waits_->pause_until(when)) return true;
  if (stop_ends_wait) return false;
  std::this_thread::sleep_until(when);  // a write's answer is awaited through a stop
  return true;
}

}  // namespace gw::line
