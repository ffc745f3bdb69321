// The gateway program against the simulated unit over a pseudo-terminal:
// history, reload, reports, alarms, commands, a shared bus and a unit that
// stops answering.
#include <csignal>
#include <filesystem>
#include <regex>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"
#include "tests/gateway/texts.h"

namespace {

using harness::Finished;
using harness::lines_starting;
using harness::record_data_id;
using harness::record_word;
using harness::Summary;
using harness::summary_of;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

class GatewayHistory : public harness::GatewayTest {
 protected:
  void SetUp() override {
    start_unit();
    write_config(harness::config_text());
  }
};

TEST_F(GatewayHistory, StoresEveryCompletedRoundWithDeviceTimeAndDataId) {
  const Finished run = run_gateway({"--rounds", "3"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto stored = records();
  ASSERT_EQ(stored.size(), 3u);
  for (const auto& record : stored) {
    EXPECT_EQ(record.device, "ac1");
    EXPECT_EQ(record.data_id, 101);
    EXPECT_TRUE(
        std::regex_match(record.time, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")))
        << record.time;
    ASSERT_EQ(record.bytes.size(), 121u);
    EXPECT_EQ(record_data_id(record.bytes), 101);
    EXPECT_EQ(record_word(record.bytes, 1), 240) << "set temperature 24.0 C";
    EXPECT_EQ(record_word(record.bytes, 13), 170) << "switched on";
    EXPECT_EQ(record_word(record.bytes, 27), 1) << "running";
    EXPECT_NEAR(record_word(record.bytes, 22), 235, 20) << "return air near the set point";
  }
  const Summary summary = summary_of(run.out, "ac1");
  EXPECT_EQ(summary.completed, 3);
  EXPECT_EQ(summary.requests, 12) << "four reads a round, none tried twice";
  EXPECT_EQ(summary.records, 3);
}

TEST_F(GatewayHistory, PrintsEachUnitsReportAfterEveryCompletedRound) {
  const Finished run = run_gateway({"--rounds", "2", "--report"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto reports = lines_starting(run.out, "report ac1 ");
  ASSERT_EQ(reports.size(), 2u) << run.out;
  for (const std::string& line : reports) {
    Json::Value report;
    ASSERT_TRUE(Json::Reader().parse(line.substr(11), report)) << line;
    EXPECT_DOUBLE_EQ(report[texts::kSetTemperature].asDouble(), 24.0);
    EXPECT_EQ(report[texts::kRunState].asString(), texts::kRunning);
  }
}

TEST_F(GatewayHistory, ReloadsTheNewestRecordOnRestartAndMarksTheRoundItCompletes) {
  ASSERT_EQ(run_gateway({"--rounds", "1"}).status, 0);
  // A newer record than the round's, with a set point of 19.9 C, as if
  // stored just before the gateway stopped.
  std::string newest = records().at(0).bytes;
  newest[4] = static_cast<char>(199);
  newest[5] = 0;
  std::string hex;
  for (unsigned char byte : newest) {
    static const char digits[] = "0123456789ABCDEF";
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  execute("INSERT INTO history (device, data_id, time, record) VALUES ('ac1', 101, '" +
          records().at(0).time + "', X'" + hex + "')");

  const Finished run = run_gateway({"--rounds", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(std::string("reload ac1: record taken; lookup: ") + texts::kNotSupported),
            std::string::npos)
      << run.out;
  // The reload completes a round with the record, which is stored anew,
  // marked as a reload's, and is no reading of the unit.
  const auto stored = records();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[2].bytes.substr(0, 114), newest.substr(0, 114));
  EXPECT_EQ(summary_of(run.out, "ac1").records, 2) << "the reload's record is not counted";
}

class GatewayAlarms : public harness::GatewayTest {};

TEST_F(GatewayAlarms, RaisesAndClearsAnAlarmOnceEachAsTheScenarioPlays) {
  dir.write("scenario.txt",
            "# water on the floor for two seconds\n2 floor_water on\n4 floor_water off\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  auto gateway = start_gateway({"--interval", "0.1"});
  EXPECT_TRUE(gateway->next_line("alarm ac1 raised 120800150010 level 3"));
  EXPECT_TRUE(gateway->next_line("alarm ac1 cleared 120800150010 level 3"));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0);

  const auto stored = events();
  ASSERT_EQ(stored.size(), 2u) << gateway->out();
  EXPECT_EQ(stored[0].state, "raised");
  EXPECT_EQ(stored[1].state, "cleared");
  for (const auto& event : stored) {
    EXPECT_EQ(event.device, "ac1");
    EXPECT_EQ(event.signal_id, "120800150010");
    EXPECT_EQ(event.level, 3);
    EXPECT_EQ(event.title, texts::kFloorWaterTitle);
    EXPECT_EQ(event.detail, texts::kFloorWaterDetail);
  }
}

// No "alarm_levels" and no "alarm_thresholds": every alarm is supervised at
// its default level, and a limit alarm compares with the unit's own limit.
TEST_F(GatewayAlarms, SupervisesEveryAlarmByDefaultAgainstTheUnitsOwnLimits) {
  dir.write("scenario.txt",
            "1 filter_clogged on\n"
            "1 return_air_temperature_upper_limit 10\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text(R"([{"name": "ac1", "slave": 1, "title": "Room A",
      "settings": {"appSetting": {"b_mode": "2"}}}])"));
  auto gateway = start_gateway({"--interval", "0.1"});
  ASSERT_TRUE(harness::eventually([&] {
    gateway->drain();
    return lines_starting(gateway->out(), "alarm ac1 raised").size() >= 2;
  })) << gateway->out()
      << gateway->err();
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0);
  const auto filter = lines_starting(gateway->out(), "alarm ac1 raised 120800260010");
  ASSERT_EQ(filter.size(), 1u);
  EXPECT_THAT(filter[0], MatchesRegex("alarm ac1 raised 120800260010 level 1 warning at "
                                      "[0-9-]+T[0-9:]+[+-][0-9:]+: Air filter clogged; "
                                      "unit_label=\"Room A\" title_zh=\".+\" detail_zh=\".+\""));
  const auto high = lines_starting(gateway->out(), "alarm ac1 raised 120800090010");
  ASSERT_EQ(high.size(), 1u) << gateway->out();
  EXPECT_THAT(high[0], MatchesRegex("alarm ac1 raised 120800090010 level 3 critical at .*: "
                                    "Return air temperature high, [0-9.]+ °C, limit 10 °C; .*"));
  EXPECT_THAT(gateway->out(), Not(HasSubstr("120800120010")))
      << "the humidity is below the unit's 70 %: no comparison with a limit of 0";
}

TEST_F(GatewayAlarms, NamesTheAlarmsLeftUnsupervisedAtStartAndInStatus) {
  start_unit();
  write_config(harness::config_text(R"([{"name": "ac1", "slave": 1,
      "alarm_levels": {"120800150010": "off", "120800260010": "critical", "comm_lost": 0}}])"));
  auto gateway = start_gateway({});
  EXPECT_TRUE(
      gateway->next_line("unit ac1: unsupervised alarms: Water on the floor "
                         "(120800150010), Unit not answering (comm_lost)",
                         testproc::Process::kErr));
  ASSERT_TRUE(harness::eventually([&] { return ctl({"status"}).status == 0; }));
  EXPECT_THAT(ctl({"status"}).out, HasSubstr("  unsupervised: Water on the floor (120800150010), "
                                             "Unit not answering (comm_lost)\n"));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0);
}

TEST_F(GatewayAlarms, KeepsARaisedAlarmAcrossARestartWithoutRaisingItAgain) {
  dir.write("scenario.txt", "0 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  ASSERT_EQ(run_gateway({"--rounds", "2"}).status, 0);
  const Finished again = run_gateway({"--rounds", "2"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out.find("alarm ac1"), std::string::npos) << again.out;
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].state, "raised");
}

class GatewayCommands : public harness::GatewayTest {
 protected:
  void SetUp() override { write_config(harness::config_text()); }
};

TEST_F(GatewayCommands, EachCommandIsDoneAndReachesTheUnit) {
  start_unit();
  const Finished run = run_gateway(
      {"--set-temperature", "26", "--set-humidity", "45", "--unit-off", "--rounds", "1"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  for (const char* done : {"command ac1 set temperature 26: done",
                           "command ac1 set humidity 45: done", "command ac1 unit off: done"})
    EXPECT_NE(run.out.find(done), std::string::npos) << done << " in\n" << run.out;
  std::string record = records().back().bytes;
  EXPECT_EQ(record_word(record, 1), 260) << "tenths of a degree";
  EXPECT_EQ(record_word(record, 2), 450) << "tenths of a percent";
  EXPECT_EQ(record_word(record, 13), 85);
  EXPECT_EQ(record_word(record, 27), 0) << "stopped";

  const Finished on = run_gateway({"--unit-on", "--rounds", "1"});
  EXPECT_NE(on.out.find("command ac1 unit on: done"), std::string::npos) << on.out;
  record = records().back().bytes;
  EXPECT_EQ(record_word(record, 13), 170);
  EXPECT_EQ(record_word(record, 27), 1) << "running again";
  EXPECT_TRUE(unit->next_line("write slave 1 register 1 <- 260, echo 260"));
  EXPECT_TRUE(unit->next_line("write slave 1 register 13 <- 170, echo 170"));
}

// A set point is judged by its echo; on and off by the run state that the
// unit shows after it, whatever the echo.
TEST_F(GatewayCommands, ASetPointFailsWhenTheUnitEchoesSomethingElse) {
  start_unit({"--echo", "7"});
  const Finished run = run_gateway({"--set-temperature", "26", "--unit-on", "--rounds", "0"});
  EXPECT_EQ(run.status, 3) << "a command was not done";
  EXPECT_NE(run.out.find("command ac1 set temperature 26: failed"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("command ac1 unit on: done"), std::string::npos) << run.out;
}

TEST_F(GatewayCommands, HaveNoAnswerWhenTheUnitIsSilent) {
  start_unit({"--silent"});
  const Finished run = run_gateway({"--unit-off", "--rounds", "1"});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.out.find("command ac1 unit off: no answer"), std::string::npos) << run.out;
  const Summary summary = summary_of(run.out, "ac1");
  EXPECT_EQ(summary.timeouts, 4) << "the write and the round's first read, each tried twice";
  EXPECT_EQ(summary.given_up, 2);
  EXPECT_EQ(summary.completed, 0);
  EXPECT_TRUE(records().empty());
}

class GatewayBus : public harness::GatewayTest {};

TEST_F(GatewayBus, PollsTwoUnitsOnOneBusEachAtItsAddress) {
  start_unit({"--slave", "1", "--slave", "2"});
  write_config(harness::config_text(R"([
    {"name": "ac1", "slave": 1, "data_id": 101},
    {"name": "ac2", "slave": 2, "data_id": 102}])"));
  const Finished run = run_gateway({"--unit", "ac2", "--set-temperature", "21", "--rounds", "2"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto stored = records();
  ASSERT_EQ(stored.size(), 4u);
  for (size_t i = 0; i < stored.size(); ++i) {
    const bool second = i % 2 == 1;  // polled in turn
    EXPECT_EQ(stored[i].device, second ? "ac2" : "ac1");
    EXPECT_EQ(record_data_id(stored[i].bytes), second ? 102 : 101);
    EXPECT_EQ(record_word(stored[i].bytes, 1), second ? 210 : 240) << "only ac2 was set";
  }
}

TEST_F(GatewayBus, ResumesPollingWhenTheUnitAnswersAgain) {
  start_unit();
  write_config(harness::config_text());
  auto gateway = start_gateway({"--interval", "0.05", "--report", "--log-level", "debug"});
  ASSERT_TRUE(gateway->next_line("report ac1"));
  unit->signal(SIGUSR1);
  ASSERT_TRUE(unit->next_line("silent"));
  ASSERT_TRUE(gateway->next_line("plug-in: SPModbus get error", testproc::Process::kErr))
      << "the device hears of the failure";
  ASSERT_TRUE(gateway->next_line("Connection timed out", testproc::Process::kErr));
  unit->signal(SIGUSR2);
  ASSERT_TRUE(unit->next_line("answering"));
  EXPECT_TRUE(gateway->next_line("report ac1")) << "a round completed again";
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const Summary summary = summary_of(gateway->out(), "ac1");
  EXPECT_GE(summary.timeouts, 2);
  EXPECT_GE(summary.given_up, 1);
  EXPECT_GE(summary.completed, 2);
  EXPECT_LT(summary.completed, summary.rounds);
  EXPECT_EQ(summary.records, summary.completed) << "only completed rounds are stored";
}

// The unit's pseudo-terminal goes away with the simulator; a new one comes
// up under the same link, as a serial adapter pulled out and plugged in.
TEST_F(GatewayBus, ReopensItsPortWhenTheDeviceComesBackUnderItsPath) {
  start_unit();
  port = dir.file("ttyLINK");
  auto point_port_at = [&](const std::string& target) {
    std::filesystem::create_symlink(target, port + ".new");
    std::filesystem::rename(port + ".new", port);
  };
  point_port_at(pty);
  write_config(harness::config_text());
  auto gateway = start_gateway({"--interval", "0.05", "--report"});
  ASSERT_TRUE(gateway->next_line("report ac1"));

  // The link points at a dead path of the test's own before the unit goes:
  // the freed pseudo-terminal's number may be handed to a test beside.
  point_port_at(dir.file("unplugged"));
  unit->signal(SIGTERM);
  ASSERT_EQ(unit->wait_exit(), 0);
  ASSERT_TRUE(gateway->next_line("serial port " + port + " lost", testproc::Process::kErr));
  start_unit();
  point_port_at(pty);
  EXPECT_TRUE(gateway->next_line("serial port " + port + " open again", testproc::Process::kErr));
  EXPECT_TRUE(gateway->next_line("report ac1")) << "a round completed on the new device";
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const harness::PortSummary port_summary = harness::port_summary_of(gateway->out());
  EXPECT_EQ(port_summary.lost, 1);
  EXPECT_EQ(port_summary.reopened, 1);
  const Summary summary = summary_of(gateway->out(), "ac1");
  EXPECT_GE(summary.port_errors, 1);
  EXPECT_EQ(summary.bad, 0) << "a dead port is not a bad reply";
  EXPECT_EQ(summary.records, summary.completed);
}

TEST_F(GatewayBus, AbandonsEveryRoundWhoseRepliesAreCorrupt) {
  start_unit({"--corrupt"});
  write_config(harness::config_text());
  const Finished run = run_gateway({"--rounds", "2", "--log-level", "debug"});
  ASSERT_EQ(run.status, 4) << "no round completed: " << run.err;
  EXPECT_THAT(run.err, HasSubstr("plug-in: SPModbus get error"));
  const Summary summary = summary_of(run.out, "ac1");
  EXPECT_EQ(summary.completed, 0);
  EXPECT_EQ(summary.bad, 4) << "the first read of each round, tried twice";
  EXPECT_EQ(summary.timeouts, 0);
  EXPECT_TRUE(records().empty()) << "no partial round reaches the history";
}

}  // namespace
