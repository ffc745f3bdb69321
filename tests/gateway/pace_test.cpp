// The rules over times and counts that pace a bus: when its passes begin,
// how a unit that does not answer backs off, and how a lost port waits to
// be opened again. Every time is given, none is waited for.
#include <chrono>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "gateway/bus/pass_schedule.h"
#include "gateway/bus/unit_pace.h"
#include "gateway/line/reopen_backoff.h"
#include "gateway/line/wire_time.h"

namespace {

using gw::bus::PaceChange;
using gw::bus::PaceSettings;
using gw::bus::PassSchedule;
using gw::bus::UnitPace;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const Clock::time_point t0 = Clock::time_point{} + std::chrono::hours(1);
const gw::base::SystemTime wall0 = std::chrono::system_clock::time_point{} + std::chrono::hours(1);

// The pass due at `schedule.next()` begins `late` after it and takes
// `took`: the next pass's time, and an overrun to be told.
std::optional<gw::bus::Overrun> pass(PassSchedule& schedule, milliseconds late, milliseconds took,
                                     bool tried_lost = false) {
  schedule.begin();
  const auto began = schedule.due() + late;
  return schedule.passed(began, began + took, 1, tried_lost);
}

TEST(PassSchedule, PassesBeginAnIntervalApartStartToStartHoweverLateTheyBegin) {
  PassSchedule schedule(0.030, t0);
  EXPECT_EQ(schedule.next(), t0);
  EXPECT_FALSE(pass(schedule, milliseconds(0), milliseconds(8)));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(30)) << "not 38 ms: start to start";
  // A command ran before this pass: begun 12 ms late, it still ends by
  // the next pass's time, which stays where it was.
  EXPECT_FALSE(pass(schedule, milliseconds(12), milliseconds(8)));
  EXPECT_EQ(schedule.due(), t0 + milliseconds(30));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(60));
}

TEST(PassSchedule, ABusBehindItsIntervalPollsBackToBackAndSaysSoOnceUntilAReload) {
  PassSchedule schedule(0.030, t0);
  const auto overrun = pass(schedule, milliseconds(0), milliseconds(55));
  ASSERT_TRUE(overrun);
  EXPECT_EQ(overrun->took, milliseconds(55));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(55)) << "the next begins at once";
  EXPECT_EQ(gw::bus::overrun_text(*overrun, 0.030),
            ": a pass took 55.0 ms against an interval of 30.0 ms (1 unit); polling back to back");
  // Behind again: the schedule starts from each late pass, no burst of
  // passes to catch up, and the bus does not say it again.
  EXPECT_FALSE(pass(schedule, milliseconds(0), milliseconds(56)));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(111));
  EXPECT_FALSE(pass(schedule, milliseconds(0), milliseconds(10)));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(141));
  schedule.set_interval(0.040);
  EXPECT_TRUE(pass(schedule, milliseconds(0), milliseconds(45))) << "a reload: told again";
}

TEST(PassSchedule, APassLateOnlyForItsStartOrALostUnitOrAtIntervalZeroIsNotTold) {
  PassSchedule schedule(0.030, t0);
  // Begun 25 ms late for a command, 10 ms long: behind, but the pass
  // itself fits the interval.
  EXPECT_FALSE(pass(schedule, milliseconds(25), milliseconds(10)));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(35));
  // A unit not answering cost this pass its response timeout.
  EXPECT_FALSE(pass(schedule, milliseconds(0), milliseconds(400), true));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(435));

  PassSchedule back_to_back(0, t0);
  EXPECT_FALSE(pass(back_to_back, milliseconds(0), milliseconds(8)));
  EXPECT_EQ(back_to_back.next(), t0 + milliseconds(8));
}

TEST(PassSchedule, APassThatPolledNobodyWaitsForTheFirstUnitDueAndNeverSpins) {
  PassSchedule schedule(0, t0);
  schedule.begin();
  schedule.passed_idle(t0, t0 + milliseconds(200));
  EXPECT_EQ(schedule.next(), t0 + milliseconds(200));
  schedule.passed_idle(t0, std::nullopt);
  EXPECT_EQ(schedule.next(), t0 + milliseconds(500)) << "no unit due: half a second at least";
  PassSchedule slow(2.0, t0);
  slow.passed_idle(t0, t0 + milliseconds(5000));
  EXPECT_EQ(slow.next(), t0 + milliseconds(2000));
}

// A round of `pace` that began `at` in a pass due then.
std::optional<PaceChange> round(UnitPace& pace, bool completed, Clock::time_point at,
                                const PaceSettings& settings) {
  return pace.after_round(completed, at, at, wall0 + (at - t0), settings);
}

TEST(UnitPace, LostAfterItsRoundsInARowBacksOffDoublingUpToTheLongestAndComesBack) {
  const PaceSettings settings{0.05, 2, 2};
  UnitPace pace;
  EXPECT_FALSE(round(pace, false, t0, settings));
  EXPECT_FALSE(pace.lost());
  EXPECT_TRUE(pace.due(t0 + milliseconds(50)));
  const auto raised = round(pace, false, t0 + milliseconds(50), settings);
  ASSERT_TRUE(raised);
  EXPECT_TRUE(raised->raised);
  EXPECT_EQ(raised->rounds, 2);
  EXPECT_EQ(pace.failing_since(), wall0) << "since the first round that failed";
  // From 0.5 s (the shortest), doubling, up to 2 s; start to start.
  auto at = t0 + milliseconds(50);
  const int backoffs_ms[] = {500, 1000, 2000, 2000};
  for (size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      EXPECT_FALSE(round(pace, false, at, settings)) << "raised once";
    }
    EXPECT_EQ(pace.next_try(), at + milliseconds(backoffs_ms[i])) << "back-off " << i;
    EXPECT_FALSE(pace.due(pace.next_try() - milliseconds(1)));
    at = pace.next_try();
    EXPECT_TRUE(pace.due(at));
  }
  const auto cleared = round(pace, true, at, settings);
  ASSERT_TRUE(cleared);
  EXPECT_FALSE(cleared->raised);
  EXPECT_EQ(cleared->rounds, 5) << "the rounds it had missed";
  EXPECT_FALSE(pace.lost());
  EXPECT_FALSE(pace.failing_since());
  EXPECT_TRUE(pace.due(at));
  EXPECT_FALSE(round(pace, false, at, settings)) << "counting to lost from the start again";
}

TEST(UnitPace, ACompletedRoundEndsARunOfFailuresAndTheBackOffStartsAtTheInterval) {
  const PaceSettings settings{3.0, 3, 60};
  UnitPace pace;
  round(pace, false, t0, settings);
  round(pace, false, t0, settings);
  EXPECT_FALSE(round(pace, true, t0, settings)) << "never lost: nothing to clear";
  EXPECT_EQ(pace.failed_in_a_row(), 0);
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(round(pace, false, t0, settings));
  ASSERT_TRUE(round(pace, false, t0, settings));
  EXPECT_EQ(pace.backoff_s(), 3.0) << "the interval, when longer than 0.5 s";
  // A round begun late in its pass does not move the next try.
  pace.after_round(false, t0 + milliseconds(3400), t0 + milliseconds(3000), wall0, settings);
  EXPECT_EQ(pace.next_try(), t0 + milliseconds(9000));
}

TEST(UnitPace, AUnitLostWhenTheGatewayStoppedBacksOffFromItsFirstRound) {
  const PaceSettings settings{0.05, 3, 1};
  UnitPace pace;
  pace.restore_lost(t0, settings);
  EXPECT_TRUE(pace.lost());
  EXPECT_TRUE(pace.due(t0));
  EXPECT_FALSE(round(pace, false, t0, settings)) << "already raised";
  EXPECT_EQ(pace.next_try(), t0 + milliseconds(1000)) << "0.5 s doubled";
  const auto cleared = round(pace, true, pace.next_try(), settings);
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->rounds, 4);
}

TEST(UnitPace, AUnitLostWhileThePortWasAwayIsTriedAsSoonAsThePortReturns) {
  const PaceSettings settings{0.0, 1, 60};
  UnitPace pace;
  ASSERT_TRUE(round(pace, false, t0, settings));
  for (int i = 0; i < 5; ++i) round(pace, false, pace.next_try(), settings);
  ASSERT_GT(pace.next_try(), t0 + std::chrono::seconds(15)) << "backed off 0.5 s doubling";
  PassSchedule schedule(30.0, t0);  // a long interval: the next pass is the unit's try
  schedule.passed_idle(t0, pace.next_try());
  ASSERT_GT(schedule.next(), t0 + std::chrono::seconds(12));
  const auto back = t0 + std::chrono::seconds(12);
  pace.port_returned(back);
  schedule.bring_forward(back);
  EXPECT_TRUE(pace.due(back));
  EXPECT_EQ(schedule.next(), back);
  EXPECT_TRUE(pace.lost()) << "until a round completes";
  UnitPace answering;
  answering.port_returned(back);
  EXPECT_TRUE(answering.due(back));
}

TEST(ReopenBackoff, WaitsFrom100MsDoublingToTwoSecondsAndStartsAgainOnceOpen) {
  gw::line::ReopenBackoff backoff;
  std::vector<long> delays;
  for (int i = 0; i < 7; ++i) {
    delays.push_back(backoff.delay().count());
    backoff.failed();
  }
  EXPECT_EQ(delays, (std::vector<long>{100, 200, 400, 800, 1600, 2000, 2000}));
  backoff.opened();
  EXPECT_EQ(backoff.delay(), milliseconds(100));
}

TEST(ByteTimeout, AFewCharactersAndAMarginNeverAboveTheResponseTimeout) {
  gw::config::BusSettings bus;
  bus.baud = 9600;
  bus.parity = 'N';
  bus.data_bits = 8;
  bus.stop_bits = 1;
  using std::chrono::microseconds;
  auto byte_timeout_us = [&](int response_ms) {
    return std::chrono::duration_cast<microseconds>(
               gw::line::wire::byte_timeout(gw::line::wire::line_timing(bus),
                                            milliseconds(response_ms)))
        .count();
  };
  EXPECT_EQ(byte_timeout_us(500), 55208) << "5 characters of 1.042 ms and 50 ms";
  EXPECT_EQ(byte_timeout_us(40), 40000) << "never above the response timeout";
  bus.baud = 1200;
  EXPECT_EQ(byte_timeout_us(500), 91666) << "follows the baud";
  bus.baud = 115200;
  EXPECT_EQ(byte_timeout_us(500), 50434);
}

}  // namespace
