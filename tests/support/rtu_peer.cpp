#include "tests/support/rtu_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>

namespace rtupeer {
namespace {

// The sender keeps the line's times in whole nanoseconds.
constexpr double kRoundingAllowance = 1e-6;

}  // namespace

std::vector<uint8_t> with_crc(std::vector<uint8_t> body) {
  uint16_t crc = 0xffff;
  for (uint8_t byte : body) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xa001 : crc >> 1;
  }
  body.push_back(static_cast<uint8_t>(crc & 0xff));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

Terminal::Terminal(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
    return;
  }
  termios raw{};
  tcgetattr(fd_, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd_, TCSANOW, &raw);
}

Terminal::~Terminal() {
  if (fd_ >= 0) ::close(fd_);
}

Clock::time_point Terminal::send(const std::vector<uint8_t>& frame) {
  const Clock::time_point before = Clock::now();
  EXPECT_EQ(::write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  return before;
}

Arrivals Terminal::receive(size_t count, milliseconds timeout) {
  Arrivals arrivals;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (arrivals.bytes.size() < count) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd waiting{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t bytes[512];
    const ssize_t got = ::read(fd_, bytes, sizeof bytes);
    const Clock::time_point now = Clock::now();
    for (ssize_t i = 0; i < got; ++i) {
      arrivals.bytes.push_back(bytes[i]);
      arrivals.at.push_back(now);
    }
  }
  return arrivals;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

Clock::time_point after(Clock::time_point from, double seconds) {
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

namespace {

// How late each byte came against its time from `first_due` on.
std::vector<double> lateness(const Arrivals& got, Clock::time_point first_due, double character_s) {
  std::vector<double> late;
  for (size_t k = 0; k < got.at.size(); ++k)
    late.push_back(seconds_between(first_due, got.at[k]) - static_cast<double>(k) * character_s);
  return late;
}

}  // namespace

PacedFrame frame_times(const Arrivals& got, double character_s) {
  PacedFrame frame;
  if (got.at.empty()) return frame;
  const std::vector<double> late = lateness(got, got.at.front(), character_s);
  const size_t window = (late.size() + 3) / 4;
  const size_t last = late.size() - 1;
  frame.start = after(got.at.front(), *std::min_element(late.begin(), late.begin() + window));
  frame.end = after(got.at.front(), *std::min_element(late.end() - window, late.end()) +
                                        static_cast<double>(last) * character_s);
  return frame;
}

void expect_not_early(const Arrivals& got, Clock::time_point first_due, double character_s) {
  const std::vector<double> late = lateness(got, first_due, character_s);
  for (size_t k = 0; k < late.size(); ++k)
    if (late[k] < -kRoundingAllowance) {
      ADD_FAILURE() << "byte " << k << " of " << late.size() << " came " << -late[k] * 1e3
                    << " ms early";
      return;
    }
}

Lateness paced_lateness(const Arrivals& got, size_t count, Clock::time_point first_due,
                        double character_s) {
  EXPECT_EQ(got.bytes.size(), count) << "bytes of the frame";
  if (got.bytes.size() != count || count == 0) return {1e9, 1e9};
  expect_not_early(got, first_due, character_s);
  const PacedFrame frame = frame_times(got, character_s);
  const Clock::time_point last_due = after(first_due, static_cast<double>(count - 1) * character_s);
  return {seconds_between(first_due, frame.start), seconds_between(last_due, frame.end)};
}

void expect_on_time(const std::function<Lateness()>& exchange) {
  for (int tries = 1;; ++tries) {
    const Lateness late = exchange();
    if (::testing::Test::HasFailure()) return;
    std::cout << "pacing: start " << late.start_s * 1e3 << " end " << late.end_s * 1e3 << " ms late"
              << std::endl;
    if (late.on_time()) return;
    if (tries == kPacingTries) {
      ADD_FAILURE() << kPacingTries << " tries, none within " << kPacingTolerance * 1e3
                    << " ms; the last started " << late.start_s * 1e3 << " ms and ended "
                    << late.end_s * 1e3 << " ms late";
      return;
    }
    std::this_thread::sleep_for(kPacingPauseBetweenTries);
  }
}

}  // namespace rtupeer
