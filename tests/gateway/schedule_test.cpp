// The poll schedule: passes an interval apart, start to start, and a bus
// that cannot keep its interval polling back to back and saying so once.
// The simulated unit answers each request after a turnaround, so that a
// round takes a known time (four requests).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>

#include "tests/gateway/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

class GatewaySchedule : public harness::GatewayTest {
 protected:
  // Milliseconds from the start of a pass to the next's over `passes`
  // passes of one unit: a run of passes + 1 less a run of one, which
  // takes the start-up and the last pass out.
  double mean_period_ms(const std::string& interval, int passes, std::string& err) {
    const auto one = timed_run(interval, 1, err);
    const auto many = timed_run(interval, passes + 1, err);
    return std::chrono::duration<double, std::milli>(many - one).count() / passes;
  }

  // A loaded machine now and then stalls the gateway for tens of
  // milliseconds, which moves the schedule on: a timing that misses is
  // tried again, up to three times in all, before it fails.
  static constexpr int kTries = 3;

 private:
  Clock::duration timed_run(const std::string& interval, int passes, std::string& err) {
    const auto start = Clock::now();
    const harness::Finished run =
        run_gateway({"--interval", interval, "--rounds", std::to_string(passes)});
    const auto took = Clock::now() - start;
    EXPECT_EQ(run.status, 0) << run.err;
    err += run.err;
    return took;
  }
};

// A round takes about 15 ms (four requests, each after a silent interval
// of 3.65 ms at 9600 baud): paused after each pass, passes would come
// 45 ms apart.
TEST_F(GatewaySchedule, PassesBeginAnIntervalApartStartToStart) {
  start_unit();
  write_config(harness::config_text(harness::ConfigParts{}));
  std::string err;
  double period = 0;
  for (int i = 0; i < kTries; ++i) {
    err.clear();
    period = mean_period_ms("0.03", 150, err);
    std::printf("mean period over 150 passes at 30 ms: %.3f ms\n", period);
    if (std::abs(period - 30.0) <= 1.0) break;
  }
  EXPECT_NEAR(period, 30.0, 1.0) << err;
}

// A round takes about 55 ms (four turnarounds of 10 ms) against an
// interval of 30 ms: the passes follow each other at once (paused 30 ms
// after each, they would come 85 ms apart), and the gateway says so once
// in each run, with the figures.
TEST_F(GatewaySchedule, ABusThatCannotKeepItsIntervalPollsBackToBackAndSaysSoOnce) {
  start_unit({"--turnaround-ms", "10"});
  write_config(harness::config_text(harness::ConfigParts{}));
  const std::regex told(
      "a pass took ([0-9.]+) ms against an interval of 30.0 ms \\(1 unit\\); "
      "polling back to back");
  std::string err;
  double period = 0, pass_ms = 0;
  for (int i = 0; i < kTries; ++i) {
    err.clear();
    period = mean_period_ms("0.03", 10, err);
    std::smatch took;
    ASSERT_TRUE(std::regex_search(err, took, told)) << err;
    pass_ms = std::stod(took[1]);
    std::printf("a pass %.1f ms, the mean period %.1f ms\n", pass_ms, period);
    if (period < pass_ms + 15.0) break;
  }
  EXPECT_GT(period, 40.0) << err;
  EXPECT_LT(period, pass_ms + 15.0) << err;
  const std::vector<std::string> lines = harness::lines_starting(err, "");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return std::regex_search(line, told); }),
            2)
      << err;
}

}  // namespace
