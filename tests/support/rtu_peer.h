// The other end of a Modbus RTU line, played by a test: a terminal opened
// raw, frames sent whole, and bytes taken in with the time each came in,
// to check what a program under test answers and when.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rtupeer {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// `body` (slave, function, data) with its CRC, low byte first.
std::vector<uint8_t> with_crc(std::vector<uint8_t> body);

// Bytes as they came in; at[i] is when the read that brought bytes[i]
// returned, so never earlier than the byte's arrival.
struct Arrivals {
  std::vector<uint8_t> bytes;
  std::vector<Clock::time_point> at;
};

class Terminal {
 public:
  // Opens a terminal device raw and non-blocking; fails the test (and
  // leaves fd() at -1) when it cannot.
  explicit Terminal(const std::string& path);
  // Takes over an open descriptor (e.g. a pseudo-terminal's controlling
  // side), which it closes.
  explicit Terminal(int fd) : fd_(fd) {}
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  int fd() const { return fd_; }

  // Writes the whole frame at once; the time just before the write.
  Clock::time_point send(const std::vector<uint8_t>& frame);
  // Takes in bytes until `count` have come or `timeout` has passed.
  Arrivals receive(size_t count, milliseconds timeout = milliseconds(2000));

 private:
  int fd_ = -1;
};

// Seconds from `from` to `to`, and the time `seconds` after `from`.
double seconds_between(Clock::time_point from, Clock::time_point to);
Clock::time_point after(Clock::time_point from, double seconds);

// How late a paced frame may start or end, in seconds: the delays in
// waking the sender, the pseudo-terminal's delivery and the receiver on a
// loaded machine (docs/simulator.md, "The paced line").
inline constexpr double kPacingTolerance = 0.010;
// A machine under load now and then stalls a process for longer (up to
// 60 ms seen with the sanitizer suite and two compilers beside the tests),
// often several times within a second: a timing is tried again, a while
// later, before it fails.
inline constexpr int kPacingTries = 5;
inline constexpr milliseconds kPacingPauseBetweenTries{250};

// When a paced frame's first and last byte were due, as its bytes show:
// from the least delayed byte of its first and of its last quarter, so
// that a byte held up for a moment by the scheduler does not count.
struct PacedFrame {
  Clock::time_point start, end;
};
PacedFrame frame_times(const Arrivals& got, double character_s);

// Expects no byte k of `got` before `first_due` + k characters. Exact: a
// byte's stamp is never before its arrival.
void expect_not_early(const Arrivals& got, Clock::time_point first_due, double character_s);

// Seconds that a frame started and ended late.
struct Lateness {
  double start_s = 0, end_s = 0;
  bool on_time() const { return start_s <= kPacingTolerance && end_s <= kPacingTolerance; }
};

// How late `got` came as a paced frame of `count` bytes whose byte k is
// due at `first_due` + k characters of `character_s` seconds. Expects the
// whole frame and no byte early.
Lateness paced_lateness(const Arrivals& got, size_t count, Clock::time_point first_due,
                        double character_s);

// Runs a timed exchange until it comes on time, at most kPacingTries
// times, and fails if none does (or at once on any other failure). Prints
// each timing.
void expect_on_time(const std::function<Lateness()>& exchange);

}  // namespace rtupeer
