// norvane-sim --pace, timed from the master's end of the line. A byte's
// stamp is when the master's read returned it, never before it came: a
// byte that came early fails at once; a frame may start and end late by
// the scheduling delays of a loaded machine (tests/support/rtu_peer.h).
#include <cmath>
#include <thread>

#include "tests/simulator/sim_program.h"

namespace {

using rtupeer::after;
using rtupeer::Clock;
using rtupeer::Lateness;
using Bytes = std::vector<uint8_t>;

// A character's seconds at `baud` with `bits` bits (start, data, parity, stop).
double character_s(int baud, int bits = 10) { return static_cast<double>(bits) / baud; }
constexpr double kSilentCharacters = 3.5;  // at 19,200 baud and below

// Read holding registers 22-65 of slave 1: 8 bytes, answered with 93.
const Bytes kRead44 = rtupeer::with_crc({1, 3, 0, 22, 0, 44});

class PacedUnit : public simtest::SimProgram {
 protected:
  // Starts the unit and lets a first exchange through untimed: a process
  // just started is slow at first, whatever its pacing.
  void start_paced(const std::vector<std::string>& args) {
    start(args);
    master->send(rtupeer::with_crc({1, 3, 0, 1, 0, 1}));
    ASSERT_EQ(master->receive(7).bytes.size(), 7u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // past the silent interval
  }

  // Sends `request` and times a reply of `length` bytes whose first byte is
  // due `first_due_s` after the request went out.
  Lateness time_reply(const Bytes& request, size_t length, double first_due_s, double t) {
    const Clock::time_point sent = master->send(request);
    return rtupeer::paced_lateness(master->receive(length), length, after(sent, first_due_s), t);
  }
};

// A reply of 93 characters comes 8 + 3.5 characters after the request went
// out, one character apart; a request of 209 characters delays the reply
// by that many.
TEST_F(PacedUnit, AFrameOfNCharactersTakesNCharacterTimesEitherWay) {
  start_paced({"--pace", "--baud", "9600"});
  const double t = character_s(9600);
  rtupeer::expect_on_time(
      [&] { return time_reply(kRead44, 93, (8 + kSilentCharacters + 1) * t, t); });

  Bytes write_100{1, 16, 0, 1, 0, 100, 200};  // write 100 registers: 200 data bytes follow
  write_100.resize(7 + 200, 0);
  const Bytes long_request = rtupeer::with_crc(write_100);  // refused: function 16
  rtupeer::expect_on_time(
      [&] { return time_reply(long_request, 5, (209 + kSilentCharacters + 1) * t, t); });
}

// The master asks again as soon as the reply is in: the request is taken
// as starting a silent interval after the reply's end.
TEST_F(PacedUnit, KeepsTheSilentIntervalBetweenItsReplyAndTheNextRequest) {
  start_paced({"--pace", "--baud=1200"});
  const double t = character_s(1200);  // 8.3 ms: the interval (29 ms) stands out of the noise
  const Bytes read_1 = rtupeer::with_crc({1, 3, 0, 27, 0, 1});
  rtupeer::expect_on_time([&] {
    const Clock::time_point sent = master->send(read_1);
    const rtupeer::Arrivals first = master->receive(7);
    const Lateness first_late =
        rtupeer::paced_lateness(first, 7, after(sent, (8 + kSilentCharacters + 1) * t), t);
    const Clock::time_point sent_again = master->send(read_1);
    const rtupeer::Arrivals second = master->receive(7);
    rtupeer::expect_not_early(second, after(sent_again, (8 + kSilentCharacters + 1) * t), t);
    // From the end of the first reply: the interval, the request, the
    // interval, and the reply's first character; without the interval
    // before the request, 3.5 characters (29 ms) less.
    const double gap = rtupeer::seconds_between(rtupeer::frame_times(first, t).end,
                                                rtupeer::frame_times(second, t).start);
    const double due = (kSilentCharacters + 8 + kSilentCharacters + 1) * t;
    return Lateness{first_late.start_s, std::abs(gap - due)};
  });
}

TEST_F(PacedUnit, AnswersAfterItsTurnaround) {
  start_paced({"--pace", "--turnaround-ms", "40"});
  const double t = character_s(9600);
  rtupeer::expect_on_time([&] { return time_reply(kRead44, 93, 8 * t + 0.040 + t, t); });
}

// 8O2: 12 bits a character.
TEST_F(PacedUnit, CountsTheParityAndStopBits) {
  start_paced({"--pace", "--baud", "4800", "--parity", "odd", "--stop-bits", "2"});
  const double t = character_s(4800, 12);
  rtupeer::expect_on_time(
      [&] { return time_reply(kRead44, 93, (8 + kSilentCharacters + 1) * t, t); });
}

}  // namespace
