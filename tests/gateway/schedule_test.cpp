// The poll schedule as the gateway keeps it, one run each: passes an
// interval apart, start to start, and a bus that cannot keep its interval
// saying so once; and the line's time on a paced line. The rules
// themselves, with given times, are in pace_test.cpp: these runs check
// that the gateway follows them, with bounds wide enough for a loaded
// machine.
#include <algorithm>
#include <chrono>
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
};

// The seconds of the day of each of the log's lines that match `pattern`,
// by their time stamps.
std::vector<double> log_times(const std::string& log, const std::string& pattern) {
  const std::regex line("\\d{4}-\\d\\d-\\d\\dT(\\d\\d):(\\d\\d):(\\d\\d\\.\\d{3})\\S* " + pattern);
  std::vector<double> times;
  for (const std::string& text : harness::lines_starting(log, "")) {
    std::smatch match;
    if (std::regex_search(text, match, line))
      times.push_back(std::stoi(match[1]) * 3600.0 + std::stoi(match[2]) * 60.0 +
                      std::stod(match[3]));
  }
  return times;
}

// A round takes about 20 ms (four requests, each answered 3 ms after it,
// at 115,200 baud): start to start, passes come 30 ms apart; paused after
// each pass, about 50 ms. A stall of the machine only ever adds.
TEST_F(GatewaySchedule, PassesBeginAnIntervalApartStartToStart) {
  start_unit({"--turnaround-ms", "3"});
  std::string config = harness::config_text(harness::ConfigParts{});
  config.replace(config.find("\"baud\": 9600"), 12, "\"baud\": 115200");
  write_config(config);
  std::string err;
  const double period = mean_period_ms("0.03", 40, err);
  std::printf("mean period over 40 passes at 30 ms: %.3f ms\n", period);
  EXPECT_GE(period, 29.0) << err;
  EXPECT_LT(period, 42.0) << err;
}

// A round takes about 55 ms (four turnarounds of 10 ms, each after the
// silent interval) against an interval of 30 ms: the gateway says so once,
// with the figures.
TEST_F(GatewaySchedule, ABusThatCannotKeepItsIntervalSaysSoOnce) {
  start_unit({"--turnaround-ms", "10"});
  write_config(harness::config_text(harness::ConfigParts{}));
  std::string err;
  const double period = mean_period_ms("0.03", 10, err);
  std::printf("the mean period at 30 ms: %.1f ms\n", period);
  EXPECT_GT(period, 40.0) << err;
  const std::regex told(
      "bus \\S+: a pass took [0-9]+\\.[0-9] ms against an interval of 30.0 ms \\(1 unit\\); "
      "polling back to back");
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
// reply would add 88 characters, 92 ms. Timed by the gateway's own log,
// from one refused read to the next, rounds back to back.
TEST_F(GatewaySchedule, AnExceptionReplyOnAPacedLineIsTakenAtItsEnd) {
  start_unit({"--pace", "--exception", "22"});
  harness::ConfigParts parts;
  parts.bus_fields = R"("lost_after_rounds": 1000)";  // no back-off
  write_config(harness::config_text(parts));
  const harness::Finished run = run_gateway({"--rounds", "6"});
  EXPECT_EQ(harness::summary_of(run.out, "ac1").exceptions, 6) << run.out << run.err;
  const std::vector<double> refused = log_times(run.err, "warning: ac1 \\(slave 1\\): read 22\\+");
  ASSERT_EQ(refused.size(), 6u) << run.err;
  const double round_ms = (refused.back() - refused.front()) * 1000 / 5;
  std::printf("a round with an exception reply: %.1f ms\n", round_ms);
  EXPECT_GT(round_ms, 80) << run.err;
  EXPECT_LT(round_ms, 170) << run.err;
}

}  // namespace
