// Commands judged by what the unit did: on and off by its run state against
// a unit that echoes the word written, set points within the unit's limits,
// writes and reads refused with an exception reply.
#include <gmock/gmock.h>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;
using harness::record_word;
using harness::Summary;
using harness::summary_of;
using ::testing::HasSubstr;
using ::testing::Not;

class GatewayCommandChecks : public harness::GatewayTest {};

TEST_F(GatewayCommandChecks, OnAndOffAreDoneWhenAUnitThatEchoesTheWordShowsTheNewRunState) {
  start_unit({"--echo-mode", "standard"});
  write_config(harness::config_text());
  const Finished run = run_gateway({"--unit-off", "--unit-on", "--unit-off", "--rounds", "1"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(harness::lines_starting(run.out, "command ac1 unit off: done").size(), 2u) << run.out;
  EXPECT_THAT(run.out, HasSubstr("command ac1 unit on: done"));
  EXPECT_TRUE(unit->next_line("write slave 1 register 13 <- 85, echo 85"));
  EXPECT_TRUE(unit->next_line("write slave 1 register 13 <- 170, echo 170"));
  EXPECT_EQ(record_word(records().back().bytes, 27), 0) << "stopped";
}

TEST_F(GatewayCommandChecks, SetPointsOutsideTheUnitsLimitsAreRefusedWithTheRangeAndNotWritten) {
  start_unit();
  write_config(harness::config_text(R"([{
      "name": "ac1", "slave": 1, "data_id": 101,
      "setpoint_limits": {"temperature": [18, 27]}}])"));
  const Finished run = run_gateway({"--set-temperature", "28", "--set-humidity", "95",
                                    "--set-temperature", "27", "--rounds", "1"});
  EXPECT_EQ(run.status, 3) << "a command was not done";
  EXPECT_THAT(run.out, HasSubstr("command ac1 set temperature 28: refused: outside the limits "
                                 "(18 to 27 C)"));
  EXPECT_THAT(run.out, HasSubstr("command ac1 set humidity 95: refused: outside the limits (30 "
                                 "to 80 %)"))
      << "the default limits";
  EXPECT_THAT(run.out, HasSubstr("command ac1 set temperature 27: done"));
  EXPECT_TRUE(unit->next_line("write slave 1 register 1 <- 270"));
  EXPECT_THAT(unit->out(), Not(HasSubstr("<- 280"))) << "nothing written for a refused one";
  EXPECT_THAT(unit->out(), Not(HasSubstr("register 2 <-")));
  EXPECT_EQ(record_word(records().back().bytes, 2), 500) << "the humidity set point as it was";
}

TEST_F(GatewayCommandChecks, AWriteAnsweredByAnExceptionIsRefusedByTheUnitAndCountedAsSuch) {
  start_unit({"--refuse-writes"});
  write_config(harness::config_text());
  const Finished run = run_gateway({"--unit-off", "--rounds", "1", "--log-level", "debug"});
  EXPECT_EQ(run.status, 3);
  EXPECT_THAT(run.out, HasSubstr("command ac1 unit off: refused by unit"));
  EXPECT_THAT(run.err, HasSubstr("; exception 4 (slave device failure)"));
  const Summary summary = summary_of(run.out, "ac1");
  EXPECT_EQ(summary.exceptions, 1) << "an answer: not tried again";
  EXPECT_EQ(summary.bad, 0);
  EXPECT_EQ(summary.completed, 1);
}

TEST_F(GatewayCommandChecks, ReadsAnsweredByAnExceptionAreCountedAsExceptionsNotBadReplies) {
  start_unit({"--exception", "30"});
  write_config(harness::config_text());
  const Finished run = run_gateway({"--rounds", "2"});
  EXPECT_EQ(run.status, 4) << "no round completed";
  const Summary summary = summary_of(run.out, "ac1");
  EXPECT_EQ(summary.exceptions, 2) << "the read of 22-65 in each round, once";
  EXPECT_EQ(summary.bad, 0);
  EXPECT_EQ(summary.timeouts, 0);
  EXPECT_THAT(run.err, HasSubstr("read 22+44: exception 2 (illegal data address)"));
}

}  // namespace
