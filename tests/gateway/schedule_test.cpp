// The poll schedule: passes an interval apart, start to start, and a bus
// that cannot keep its interval polling back to back and saying so once;
// and the line's time on a paced line.
// The simulated unit answers each request after a turnaround, so that a
// round takes a known time (four requests).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <regex>

#include <gmock/gmock.h>

#include "tests/gateway/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

class GatewaySchedule : public harness::GatewayTest {
 protected:
  // Milliseconds from the start of a pass to the next's over `passes`
  // passes of one unit, timed by the report that each completed round
  // prints (the start-up is not in it); the gateway's log into `err`.
  double mean_period_ms(const std::string& interval, int passes, std::string& err) {
    auto gateway = start_gateway({"--interval", interval, "--report"});
    EXPECT_TRUE(gateway->next_line("report ac1")) << gateway->err();
    const auto first = Clock::now();
    for (int pass = 0; pass < passes; ++pass)
      EXPECT_TRUE(gateway->next_line("report ac1")) << gateway->err();
    const auto last = Clock::now();
    gateway->signal(SIGTERM);
    EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
    err = gateway->err();
    return std::chrono::duration<double, std::milli>(last - first).count() / passes;
  }

  // A loaded machine now and then stalls the gateway for tens of
  // milliseconds, which moves the schedule on: a timing that misses is
  // tried again, up to three times in all, before it fails.
  static constexpr int kTries = 3;

  // A run of `rounds` rounds whose every round meets an exception reply.
  Clock::duration timed_rounds(int rounds) {
    const auto start = Clock::now();
    const harness::Finished run = run_gateway({"--rounds", std::to_string(rounds)});
    const auto took = Clock::now() - start;
    EXPECT_EQ(harness::summary_of(run.out, "ac1").exceptions, rounds) << run.out << run.err;
    return took;
  }
};

// A round takes about 8 ms (four requests, each after a silent interval
// of 1.75 ms at 115,200 baud): paused after each pass, passes would come
// 38 ms apart.
TEST_F(GatewaySchedule, PassesBeginAnIntervalApartStartToStart) {
  start_unit();
  std::string config = harness::config_text(harness::ConfigParts{});
  config.replace(config.find("\"baud\": 9600"), 12, "\"baud\": 115200");
  write_config(config);
  std::string err;
  double period = 0;
  for (int i = 0; i < kTries; ++i) {
    period = mean_period_ms("0.03", 150, err);
    std::printf("mean period over 150 passes at 30 ms: %.3f ms\n", period);
    if (std::abs(period - 30.0) <= 1.0) break;
  }
  EXPECT_NEAR(period, 30.0, 1.0) << err;
}

// A round takes about 55 ms (four turnarounds of 10 ms, each after the
// silent interval) against an interval of 30 ms: the passes follow each
// other as at interval 0 (paused 30 ms after each, they would come 30 ms
// further apart), and the gateway says so once, with the figures.
TEST_F(GatewaySchedule, ABusThatCannotKeepItsIntervalPollsBackToBackAndSaysSoOnce) {
  start_unit({"--turnaround-ms", "10"});
  write_config(harness::config_text(harness::ConfigParts{}));
  const std::regex told(
      "a pass took ([0-9.]+) ms against an interval of 30.0 ms \\(1 unit\\); "
      "polling back to back");
  std::string err, unused;
  double period = 0, back_to_back = 0;
  for (int i = 0; i < kTries; ++i) {
    err.clear();
    period = mean_period_ms("0.03", 10, err);
    back_to_back = mean_period_ms("0", 10, unused);
    std::printf("the mean period at 30 ms %.1f ms, at 0 %.1f ms\n", period, back_to_back);
    if (period < back_to_back + 15.0) break;
  }
  EXPECT_GT(period, 40.0) << err;
  EXPECT_LT(period, back_to_back + 15.0) << err;
  EXPECT_THAT(err, ::testing::ContainsRegex("a pass took [0-9]+\\.[0-9] ms against"));
  const std::vector<std::string> lines = harness::lines_starting(err, "");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return std::regex_search(line, told); }),
            1)
      << err;
}

// On a paced line at 9600 baud an exception reply (5 characters) to the
// read of 22-65 is taken at its end, not at the end that the 93-character
// reply would have had: a round of three reads and the exception is about
// 102 characters with its silent intervals, 106 ms; waiting out the long
// reply would add 88 characters, 92 ms.
TEST_F(GatewaySchedule, AnExceptionReplyOnAPacedLineIsTakenAtItsEnd) {
  start_unit({"--pace", "--exception", "22"});
  harness::ConfigParts parts;
  parts.bus_fields = R"("lost_after_rounds": 1000)";  // no back-off: each run alike
  write_config(harness::config_text(parts));
  double round_ms = 0;
  for (int i = 0; i < kTries; ++i) {
    const auto one = timed_rounds(1);
    const auto five = timed_rounds(5);
    round_ms = std::chrono::duration<double, std::milli>(five - one).count() / 4;
    std::printf("a round with an exception reply: %.1f ms\n", round_ms);
    if (round_ms > 80 && round_ms < 150) break;
  }
  // The runs' start-ups differ by some milliseconds: a round on the
  // paced line at all, and well short of the long reply's wait.
  EXPECT_GT(round_ms, 80);
  EXPECT_LT(round_ms, 150);
}

}  // namespace
