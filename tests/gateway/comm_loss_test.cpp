// A unit that stops answering: the communication-loss alarm and the unit's
// state, the back-off that keeps a dead unit from slowing the live ones,
// and the exit status of a run in which a unit completed no round.
#include <csignal>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;
using harness::Summary;
using harness::summary_of;
using std::chrono::milliseconds;
using ::testing::HasSubstr;

class GatewayCommLoss : public harness::GatewayTest {
 protected:
  // ac1 at slave 1, which the simulator serves; ac2 at slave 2, which no
  // one answers.
  static std::string two_units() {
    return R"([{"name": "ac1", "slave": 1, "data_id": 101},
               {"name": "ac2", "slave": 2, "data_id": 102}])";
  }
};

TEST_F(GatewayCommLoss, RaisesTheAlarmAfterRoundsWithoutAnAnswerAndClearsItAtTheNextRound) {
  start_unit();
  harness::ConfigParts parts;
  parts.response_timeout_ms = 100;
  parts.bus_fields = R"("lost_after_rounds": 2, "max_backoff_s": 1)";
  write_config(harness::config_text(parts));
  auto gateway = start_gateway({"--interval", "0.05", "--report"});
  ASSERT_TRUE(gateway->next_line("report ac1")) << gateway->err();

  unit->signal(SIGUSR1);
  ASSERT_TRUE(unit->next_line("silent"));
  const auto raised = gateway->next_line("alarm ac1 raised comm_lost level 2 major at ");
  ASSERT_TRUE(raised) << gateway->out() << gateway->err();
  EXPECT_THAT(*raised, HasSubstr(": Unit not answering, 2 rounds in a row did not complete"));
  const Json::Value lost = unit_status("ac1");
  EXPECT_EQ(lost["state"], "not answering");
  EXPECT_TRUE(lost["state_since"].isString());
  EXPECT_TRUE(lost["last_round"].isString()) << "the last completed round stays shown";
  ASSERT_EQ(lost["alarms"].size(), 1u);
  EXPECT_EQ(lost["alarms"][0]["signal_id"], "comm_lost");

  unit->signal(SIGUSR2);
  ASSERT_TRUE(unit->next_line("answering"));
  EXPECT_TRUE(gateway->next_line("alarm ac1 cleared comm_lost level 2 major at "));
  ASSERT_TRUE(gateway->next_line("report ac1"));
  const Json::Value back = unit_status("ac1");
  EXPECT_EQ(back["state"], "answering");
  EXPECT_TRUE(back["alarms"].empty());
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const auto stored = events();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].signal_id, "comm_lost");
  EXPECT_EQ(stored[0].state, "raised");
  EXPECT_EQ(stored[0].title, "Unit not answering");
  EXPECT_EQ(stored[1].state, "cleared");
}

// The times of the log lines that say a request of `unit` was given up
// after `tries` ("1 try", "2 tries").
std::vector<double> give_up_times(const std::string& log, const std::string& unit,
                                  const std::string& tries) {
  const std::regex line("\\d{4}-\\d\\d-\\d\\dT(\\d\\d):(\\d\\d):(\\d\\d\\.\\d{3})\\S* warning: " +
                        unit + " \\(slave \\d+\\): read 1\\+4: .*\\(" + tries + "\\)");
  std::vector<double> times;
  for (const std::string& text : harness::lines_starting(log, "")) {
    std::smatch match;
    if (std::regex_match(text, match, line))
      times.push_back(std::stoi(match[1]) * 3600.0 + std::stoi(match[2]) * 60.0 +
                      std::stod(match[3]));
  }
  return times;
}

// The back-off's doubling and its bounds are in pace_test.cpp; here the
// gateway follows it: with the longest back-off at 1 s, the dead unit's
// single tries come 0.5 s after the loss, then 1 s apart.
TEST_F(GatewayCommLoss, ADeadUnitIsTriedOnceAtItsBackOffWhileTheLiveOneKeepsItsPace) {
  start_unit({"--slave", "1"});
  harness::ConfigParts parts;
  parts.units = two_units();
  parts.response_timeout_ms = 100;
  parts.bus_fields = R"("lost_after_rounds": 2, "max_backoff_s": 1)";
  write_config(harness::config_text(parts));
  auto gateway = start_gateway({"--interval", "0.05"});
  ASSERT_TRUE(gateway->next_line("alarm ac2 raised comm_lost")) << gateway->err();
  std::this_thread::sleep_for(milliseconds(2500));
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  // Before the loss every request has its retry; after it, one try, each
  // due at most a pass (50 ms and a round) late; a stall only ever adds.
  EXPECT_EQ(give_up_times(gateway->err(), "ac2", "2 tries").size(), 2u) << gateway->err();
  const std::vector<double> tries = give_up_times(gateway->err(), "ac2", "1 try");
  ASSERT_GE(tries.size(), 2u) << gateway->err();
  EXPECT_GE(tries[1] - tries[0], 1.0 - 0.06) << gateway->err();
  EXPECT_LT(tries[1] - tries[0], 1.0 + 0.5) << gateway->err();
  const Summary dead = summary_of(gateway->out(), "ac2");
  EXPECT_EQ(dead.completed, 0);
  EXPECT_EQ(dead.requests, 2 * 2 + (dead.rounds - 2)) << "one try a round once lost";
  // The live unit: a round every interval, but for one dead try of 100 ms
  // per back-off. Were the dead unit tried in every pass with its retry
  // and the wait-out after each timeout, a pass would take 400 ms and the
  // live unit complete about 6 rounds here.
  const Summary live = summary_of(gateway->out(), "ac1");
  EXPECT_EQ(live.completed, live.rounds);
  EXPECT_GE(live.completed, 20) << gateway->err();
}

TEST_F(GatewayCommLoss, RoundsThatLeaveAUnitWithoutACompletedOneExitWithStatus4) {
  start_unit({"--slave", "1"});
  harness::ConfigParts parts;
  parts.units = two_units();
  parts.response_timeout_ms = 50;
  write_config(harness::config_text(parts));
  const Finished run = run_gateway({"--rounds", "2"});
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_THAT(run.err, HasSubstr("ac2 completed no round in 2 rounds"));
  EXPECT_EQ(summary_of(run.out, "ac1").completed, 2);

  parts.units = R"([{"name": "ac1", "slave": 1, "data_id": 101}])";
  write_config(harness::config_text(parts));
  EXPECT_EQ(run_gateway({"--rounds", "1"}).status, 0) << "every unit completed a round";
}

}  // namespace
