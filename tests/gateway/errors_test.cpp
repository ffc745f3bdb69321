// The gateway program refuses bad input with a message naming what is wrong
// and a non-zero exit, and leaves the history whole.
#include <sys/stat.h>

#include <filesystem>

#include <gmock/gmock.h>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;

class GatewayErrors : public harness::GatewayTest {
 protected:
  void SetUp() override {
    start_unit();
    write_config(harness::config_text());
  }

  // Runs the gateway with one of its paths replaced.
  Finished run_with(const std::string& option, const std::string& value) {
    std::vector<std::string> argv = gateway_args({"--rounds", "1"});
    for (size_t i = 0; i + 1 < argv.size(); ++i)
      if (argv[i] == option) argv[i + 1] = value;
    testproc::Process gateway(argv);
    Finished run;
    run.status = gateway.wait_exit();
    run.out = gateway.out();
    run.err = gateway.err();
    return run;
  }

  bool history_exists() const { return std::filesystem::exists(dir.file("history.db")); }
};

MATCHER_P(Says, text, "") { return arg.find(text) != std::string::npos; }

// A set point that is not a whole number is refused for that reason, by
// the command line of the gateway and of ctl alike (the socket and MQTT
// give the same reason: service_parts_test, outputs_parts_test).
TEST_F(GatewayErrors, ASetPointThatIsNotWholeIsRefusedForThatReason) {
  const Finished run = run_gateway({"--set-humidity", "45.5", "--rounds", "1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, Says("--set-humidity: 45.5 is not a whole number (set points are whole "
                            "percent)"));
  const Finished ctl_run = ctl({"set-temperature", "ac1", "22.5"});
  EXPECT_EQ(ctl_run.status, 2);
  EXPECT_THAT(ctl_run.err, Says("22.5 is not a whole number (set points are whole degrees C)"));
  EXPECT_THAT(ctl_run.err, testing::Not(Says("range")));
  EXPECT_EQ(ctl({"set-temperature", "ac1", "--", "-1000"}).status, 2);
  EXPECT_FALSE(history_exists()) << "refused before anything starts";
}

TEST_F(GatewayErrors, ABadConfigurationFileIsNamedWithItsField) {
  write_config(harness::config_text(R"([{"name": "ac1", "slave": 300}])"));
  const Finished run = run_gateway({"--rounds", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says(dir.file("config.json") +
                            ": units[0].slave: must be a whole number from 1 to 247"));
  EXPECT_FALSE(history_exists()) << "nothing is created before the configuration is whole";
}

TEST_F(GatewayErrors, AConfigurationFileThatIsNotJsonOrMissingIsNamed) {
  write_config("{\"bus\": {\"port\": \"/dev/ttyS1\",}");
  Finished run = run_gateway({"--rounds", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says(dir.file("config.json") + ": not valid JSON"));

  run = run_with("--config", dir.file("absent.json"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says(dir.file("absent.json") + ": cannot be read"));
}

TEST_F(GatewayErrors, APlugInThatDoesNotLoadOrLacksGetProvidersIsNamed) {
  Finished run = run_with("--plugin", dir.file("absent.so"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says("cannot load plug-in " + dir.file("absent.so")));

  run = run_with("--plugin", NORVANE_STANDIN_PATH);  // a library, but no plug-in
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err,
              Says(std::string("plug-in ") + NORVANE_STANDIN_PATH + " has no get_providers"));
  EXPECT_FALSE(history_exists());
}

TEST_F(GatewayErrors, ASerialDeviceThatCannotBeOpenedIsNamed) {
  const Finished run = run_with("--port", dir.file("ttyNONE"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says("cannot open serial port " + dir.file("ttyNONE")));
}

TEST_F(GatewayErrors, AnRs485ModeThatThePortDoesNotTakeIsNamedWithItsField) {
  harness::ConfigParts parts;
  parts.bus_fields = R"("serial_mode": "rs485", "rts": "up")";
  write_config(harness::config_text(parts));
  const Finished run = run_gateway({"--rounds", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says("serial port " + pty + ": cannot set bus.serial_mode rs485: "))
      << "a pseudo-terminal has no RS-485 mode";
}

TEST_F(GatewayErrors, AHistoryThatCannotBeOpenedIsNamed) {
  const Finished run = run_with("--history", dir.file("no/such/folder/history.db"));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err,
              Says("history database " + dir.file("no/such/folder/history.db") + ": cannot open"));
}

TEST_F(GatewayErrors, ARecordThatTheHistoryRefusesIsCountedLostAndSupervisionGoesOn) {
  ASSERT_EQ(run_gateway({"--rounds", "1"}).status, 0);
  execute(
      "CREATE TRIGGER refuse BEFORE INSERT ON history "
      "BEGIN SELECT RAISE(ABORT, 'no more records'); END");
  const Finished run = run_gateway({"--rounds", "3"});
  EXPECT_EQ(run.status, 1) << "the rounds went on, but their records are lost: " << run.err;
  EXPECT_THAT(run.err, Says("history database " + dir.file("history.db") +
                            ": cannot store a record: no more records"));
  EXPECT_THAT(run.err, Says("history " + dir.file("history.db") +
                            ": 4 records and 0 alarm events of the rounds asked for were lost"));
  EXPECT_EQ(harness::summary_of(run.out, "ac1").completed, 3);
  EXPECT_THAT(run.out, Says("lost 4 records 0 events")) << "the reload's and the three rounds'";
  EXPECT_EQ(records().size(), 1u) << "nothing half written";
}

TEST_F(GatewayErrors, AConfigurationThatIsNotARegularFileOfAtMostOneMebibyteIsRefusedAtOnce) {
  ASSERT_EQ(::mkfifo(dir.file("fifo.json").c_str(), 0600), 0);
  dir.write("huge.json", std::string(1024 * 1024 + 1, ' '));
  const struct {
    std::string path, reason;
  } cases[] = {{"/dev/zero", "is not a regular file"},
               {dir.file("fifo.json"), "is not a regular file"},
               {dir.file("huge.json"), "is larger than 1 MiB"}};
  for (const auto& c : cases) {
    std::vector<std::string> argv = gateway_args({"--rounds", "1"});
    argv[2] = c.path;
    testproc::Process gateway(argv);
    EXPECT_EQ(gateway.wait_exit(std::chrono::seconds(5)), 1) << c.path;
    EXPECT_THAT(gateway.err(), Says(c.path + ": " + c.reason));
  }
}

TEST_F(GatewayErrors, APlugInNamedOnTheCommandLineIsAFileNeverSearchedFor) {
  // A library search path that holds the plug-in: a search would find it.
  const std::string built = NORVANE_PLUGIN_PATH;
  const std::string folder = built.substr(0, built.rfind('/'));
  const std::string name = built.substr(folder.size() + 1);
  auto run_in = [&](const std::string& cwd) {
    std::vector<std::string> argv = gateway_args({"--rounds", "1"});
    argv[4] = name;  // after --plugin
    std::string command = "cd '" + cwd + "' && exec";
    for (const std::string& arg : argv) command += " '" + arg + "'";
    testproc::Process gateway({"/bin/sh", "-c", command}, {"LD_LIBRARY_PATH=" + folder});
    Finished run;
    run.status = gateway.wait_exit();
    run.out = gateway.out();
    run.err = gateway.err();
    return run;
  };
  Finished run = run_in(dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, Says("cannot load plug-in ./" + name));
  run = run_in(folder);
  EXPECT_EQ(run.status, 0) << "the file in the working directory: " << run.err;
}

TEST_F(GatewayErrors, TheCommandLineTakesOptionEqualsValueAndRefusesMistakesWithStatus2) {
  Finished run = run_gateway({"--rounds=1", "--set-temperature=25"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, Says("command ac1 set temperature 25: done"));
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--rounds", "many"},
                                                {"--rounds=-1"},
                                                {"--set-humidity", "1000"},
                                                {"--log-level", "loud"},
                                                {"--bogus"}}) {
    run = run_gateway(wrong);
    EXPECT_EQ(run.status, 2) << wrong[0];
    EXPECT_THAT(run.err, Says("Run with --help for more information.")) << wrong[0];
  }
  testproc::Process bare({NORVANE_GATEWAY});
  EXPECT_EQ(bare.wait_exit(), 2);
  EXPECT_THAT(bare.err(), Says("give --config FILE, or a subcommand: run, ctl or history"));
}

TEST_F(GatewayErrors, CommandsForSeveralUnitsNeedTheUnitNamed) {
  write_config(
      harness::config_text(R"([{"name": "ac1", "slave": 1}, {"name": "ac2", "slave": 2}])"));
  Finished run = run_gateway({"--unit-on"});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, Says("name the unit of the commands with --unit"));
  run = run_gateway({"--unit", "ac9", "--unit-on"});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, Says("--unit ac9: no such unit"));
}

}  // namespace
