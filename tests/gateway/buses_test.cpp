// Several buses in one gateway: each simulated unit on a pseudo-terminal of
// its own, the gateway's configuration listing them under "buses".
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/gateway/harness.h"

namespace {

using harness::Finished;
using harness::summary_of;
using ::testing::HasSubstr;
using ::testing::Not;
using testproc::Process;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class GatewayBuses : public harness::GatewayTest {
 protected:
  // A simulated unit on a line of its own; its pty.
  std::string start_line() {
    lines.push_back(std::make_unique<Process>(std::vector<std::string>{NORVANE_SIM}));
    const auto line = lines.back()->next_line("pty ");
    EXPECT_TRUE(line) << lines.back()->err();
    return line ? line->substr(4) : std::string();
  }
  // Units ac1 on `port1` and ac2 on `port2`, each at slave 1.
  void write_buses(const std::string& port1, const std::string& port2) {
    auto bus = [](const std::string& path, int number) {
      const std::string n = std::to_string(number);
      return R"({"port": ")" + path + R"(", "response_timeout_ms": 400, "lost_after_rounds": 2,
       "units": [{"name": "ac)" +
             n + R"(", "slave": 1, "data_id": 10)" + n + "}]}";
    };
    write_config(R"({"interval_s": 0.05, "control": {"socket": "control.sock"},
  "buses": [)" + bus(port1, 1) +
                 ",\n  " + bus(port2, 2) + "]}\n");
  }
  // The gateway without --port: each bus has its port in the file.
  std::unique_ptr<Process> start_buses(const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{
        NORVANE_GATEWAY,     "--config",  dir.file("config.json"), "--plugin",
        NORVANE_PLUGIN_PATH, "--history", dir.file("history.db")};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv);
  }

  std::vector<std::unique_ptr<Process>> lines;
};

TEST_F(GatewayBuses, PollTwoLinesIntoOneHistoryAndCarryOutACommandOnEach) {
  const std::string port1 = start_line(), port2 = start_line();
  write_buses(port1, port2);
  auto gateway = start_buses({"--report"});
  ASSERT_TRUE(gateway->next_line("report ac1")) << gateway->err();
  ASSERT_TRUE(gateway->next_line("report ac2")) << gateway->err();

  const Finished first = ctl({"set-temperature", "ac1", "26"});
  EXPECT_EQ(first.out, "command ac1 set temperature 26: done\n") << first.err;
  const Finished second = ctl({"set-temperature", "ac2", "27"});
  EXPECT_EQ(second.out, "command ac2 set temperature 27: done\n") << second.err;
  EXPECT_TRUE(lines[0]->next_line("write slave 1 register 1 <- 260"));
  EXPECT_TRUE(lines[1]->next_line("write slave 1 register 1 <- 270"));
  EXPECT_THAT(lines[0]->out(), Not(HasSubstr("<- 270"))) << "each command on its unit's bus";

  for (const auto& [name, its_port] : {std::pair{"ac1", port1}, std::pair{"ac2", port2}}) {
    const Json::Value row = unit_status(name);
    EXPECT_EQ(row["bus"], its_port) << name;
    EXPECT_EQ(row["state"], "answering") << name;
  }
  const Finished readable = ctl({"status"});
  EXPECT_THAT(readable.out, HasSubstr("bus " + port1 + ": open"));
  EXPECT_THAT(readable.out, HasSubstr("bus " + port2 + ": open"));
  EXPECT_THAT(readable.out, HasSubstr("ac2 (bus " + port2 + ", slave 1, data id 102): answering"));

  const auto signalled = Clock::now();
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  EXPECT_LT(Clock::now() - signalled, milliseconds(5000)) << "every bus stops at once";
  for (const auto& [name, data_id] : {std::pair{"ac1", 101}, std::pair{"ac2", 102}}) {
    long stored = 0;
    for (const auto& record : records())
      stored += record.device == name && record.data_id == data_id;
    EXPECT_GT(stored, 0) << name;
    EXPECT_EQ(summary_of(gateway->out(), name).records, stored) << name;
  }
  EXPECT_THAT(gateway->out(), HasSubstr("summary port " + port2 + ": lost 0 reopened 0"));
}

TEST_F(GatewayBuses, ABusWhosePortIsMissingAtTheStartWaitsForItWhileTheOtherPolls) {
  const std::string port1 = start_line(), later = start_line();
  const std::string port2 = dir.file("ttyLATER");
  write_buses(port1, port2);
  auto gateway = start_buses();
  EXPECT_TRUE(gateway->next_line("cannot open serial port " + port2, Process::kErr));
  auto state = [&](const char* name) { return unit_status(name)["state"].asString(); };
  ASSERT_TRUE(harness::eventually([&] { return state("ac2") == "not answering"; }));
  EXPECT_EQ(state("ac1"), "answering");

  ASSERT_EQ(::symlink(later.c_str(), port2.c_str()), 0);  // the adapter is plugged in
  EXPECT_TRUE(gateway->next_line("alarm ac2 cleared comm_lost")) << gateway->err();
  EXPECT_EQ(state("ac2"), "answering");
  const Json::Value counters = unit_status("ac1")["counters"];
  EXPECT_EQ(counters["completed"], counters["rounds"]) << "the other bus lost no round meanwhile";
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

TEST_F(GatewayBuses, NoneOfWhosePortsOpensIsAFailedStartNamingEach) {
  write_buses(dir.file("ttyA"), dir.file("ttyB"));
  auto gateway = start_buses({"--rounds", "1"});
  EXPECT_EQ(gateway->wait_exit(), 1);
  EXPECT_THAT(gateway->err(), HasSubstr("cannot open serial port " + dir.file("ttyA")));
  EXPECT_THAT(gateway->err(), HasSubstr("cannot open serial port " + dir.file("ttyB")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("history.db"))) << "a failed start changes nothing";
}

}  // namespace
