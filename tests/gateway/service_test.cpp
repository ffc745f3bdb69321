// The gateway as a service, as programs over pseudo-terminals: commands
// and status through the control socket, the port held for one gateway,
// stopping, reloading, signals, and what the service manager is told.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

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
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using testproc::Process;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class GatewayService : public harness::GatewayTest {
 protected:
  // Polls fast and reports every round, so that tests can follow it.
  std::unique_ptr<Process> start_service(const std::vector<std::string>& args = {}) {
    std::vector<std::string> all{"--interval", "0.05", "--report"};
    all.insert(all.end(), args.begin(), args.end());
    return start_gateway(all);
  }
};

TEST_F(GatewayService, CarriesOutASocketCommandBetweenPollsAndAnswersItsOutcome) {
  start_unit();
  write_config(harness::config_text());
  auto gateway = start_service();
  ASSERT_TRUE(gateway->next_line("report ac1"));

  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(dir.file("control.sock")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write)
      << "the socket's group decides who may control the service";
  const Finished set = ctl({"set-temperature", "ac1", "26"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "command ac1 set temperature 26: done\n");
  EXPECT_TRUE(unit->next_line("write slave 1 register 1 <- 260, echo 260"));
  EXPECT_TRUE(gateway->next_line("command ac1 set temperature 26: done"));
  ASSERT_TRUE(gateway->next_line("report ac1")) << "polling goes on";
  const Json::Value status = unit_status("ac1");
  EXPECT_EQ(status["last_command"]["command"], "set temperature 26");
  EXPECT_EQ(status["last_command"]["outcome"], "done");
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  // No round was broken into by the command's exchange: every round
  // completed, each was stored whole, and the set point changed once.
  const Summary summary = summary_of(gateway->out(), "ac1");
  EXPECT_EQ(summary.completed, summary.rounds);
  EXPECT_EQ(summary.records, summary.completed) << gateway->out() << gateway->err();
  bool changed = false;
  for (const auto& record : records()) {
    ASSERT_EQ(record.bytes.size(), 121u);
    const uint16_t set_point = record_word(record.bytes, 1);
    EXPECT_EQ(set_point, changed ? 260 : set_point == 260 ? 260 : 240);
    changed |= set_point == 260;
  }
  EXPECT_TRUE(changed);
}

TEST_F(GatewayService, StatusOverTheSocketShowsStateCountersThatMoveAndAlarms) {
  dir.write("scenario.txt", "0 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  auto gateway = start_service();
  ASSERT_TRUE(gateway->next_line("alarm ac1 raised 120800150010"));
  ASSERT_TRUE(gateway->next_line("report ac1"));

  const Json::Value first = unit_status("ac1");
  EXPECT_EQ(first["state"], "answering");
  EXPECT_TRUE(first["last_round"].isString());
  ASSERT_EQ(first["alarms"].size(), 1u);
  EXPECT_EQ(first["alarms"][0]["signal_id"], "120800150010");
  EXPECT_EQ(first["alarms"][0]["level"], 3);
  EXPECT_EQ(first["alarms"][0]["title"], "Water on the floor");
  EXPECT_EQ(first["alarms"][0]["unit_title"], texts::kFloorWaterTitle);
  EXPECT_TRUE(first["fresh"].asBool());
  EXPECT_EQ(first["readings"]["set_temperature"], 24.0) << "readings by English name";
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(gateway->next_line("report ac1"));
  const Json::Value later = unit_status("ac1");
  EXPECT_GT(later["counters"]["completed"].asInt64(), first["counters"]["completed"].asInt64());
  EXPECT_GT(later["counters"]["requests"].asInt64(), first["counters"]["requests"].asInt64());

  // The same for a person: the state and the age of the data, the alarm
  // by its English title, the values with their units; `readings` is
  // `values` by another name, `report` the plug-in's own.
  const Finished readable = ctl({"status"});
  EXPECT_EQ(readable.status, 0);
  EXPECT_THAT(readable.out, ContainsRegex("ac1 \\(slave 1, data id 101\\): answering since "
                                          "[-0-9T:+]+; data of [-0-9T:+]+, [0-9]+ s old\n"));
  EXPECT_THAT(readable.out, HasSubstr("alarm: Water on the floor (120800150010, level 3) since "));
  for (const char* request : {"values", "readings"}) {
    const Finished values = ctl({request, "ac1"});
    EXPECT_EQ(values.status, 0);
    EXPECT_THAT(values.out, HasSubstr("\nset_temperature: 24.0 \xC2\xB0"
                                      "C\nset_humidity: 50.0 %\n"));
    EXPECT_THAT(values.out, ContainsRegex("\nreturn_air_temperature: [0-9]+\\.[0-9] \xC2\xB0"
                                          "C\n"));
    EXPECT_THAT(values.out, HasSubstr("\nwater_on_floor: alarm\n"));
    EXPECT_THAT(values.out, HasSubstr("\nindoor_fan_run_time: 31536000 s (8760 h)\n"));
    EXPECT_THAT(values.out, HasSubstr("\nalarm: Water on the floor (120800150010, level 3)"));
  }
  const Finished report = ctl({"report", "ac1"});
  EXPECT_THAT(report.out, HasSubstr(std::string(texts::kSetTemperature) + ": 24\n"));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0);
}

// `ctl values UNIT NAME` prints the bare value for a script, as the CSV
// export gives it; a name that is no reading is a usage error, and a unit
// that stopped answering has no current value to print.
TEST_F(GatewayService, CtlValuesPrintsOneBareValueAndNeverAnOldOne) {
  dir.write("scenario.txt", "0 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config(harness::config_text());
  auto gateway = start_service();
  ASSERT_TRUE(gateway->next_line("report ac1"));
  const std::pair<const char*, const char*> expected[] = {{"set_temperature", "24.0\n"},
                                                          {"water_on_floor", "alarm\n"},
                                                          {"run_state", "running\n"},
                                                          {"indoor_fan_run_time", "31536000\n"}};
  for (const auto& [name, value] : expected) {
    const Finished bare = ctl({"values", "ac1", name});
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_EQ(bare.out, value) << name;
  }
  const Finished unknown = ctl({"values", "ac1", "return_air_temp"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("no reading named return_air_temp"));

  unit->signal(SIGUSR1);  // the unit falls silent
  ASSERT_TRUE(harness::eventually([&] { return unit_status("ac1")["state"] == "not answering"; }));
  const Finished silent = ctl({"values", "ac1", "set_temperature"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.out, "");
  EXPECT_THAT(silent.err, HasSubstr("ac1 has no current set_temperature: not answering since "));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0);
}

TEST_F(GatewayService, ASecondGatewayOnThePortExitsNamingTheHolderAndCommandsGoThroughTheFirst) {
  start_unit();
  write_config(harness::config_text());
  auto first = start_service();
  ASSERT_TRUE(first->next_line("report ac1"));

  // Its own history and socket: only the port is shared.
  Process second({NORVANE_GATEWAY, "--config", dir.file("config.json"), "--plugin",
                  NORVANE_PLUGIN_PATH, "--port", pty, "--history", dir.file("second.db"),
                  "--socket", dir.file("second.sock"), "--rounds", "5"});
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_THAT(second.err(), HasSubstr("serial port " + pty + " is in use by process " +
                                      std::to_string(first->pid()) + " (norvane-gateway)"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("second.db"))) << "nothing set up";

  // Command flags given while a service holds the port go through it.
  const Finished off = run_gateway({"--unit-off"});
  EXPECT_EQ(off.status, 0) << off.err;
  EXPECT_THAT(off.out, HasSubstr("command ac1 unit off: done"));
  EXPECT_TRUE(first->next_line("command ac1 unit off: done"));
  ASSERT_TRUE(first->next_line("report ac1"));
  first->signal(SIGTERM);
  ASSERT_EQ(first->wait_exit(), 0);

  const Summary summary = summary_of(first->out(), "ac1");
  EXPECT_EQ(summary.completed, summary.rounds) << "no exchange of the first was disturbed";
  const auto stored = records();
  EXPECT_EQ(static_cast<long>(stored.size()), summary.completed);
  for (const auto& record : stored) {
    EXPECT_EQ(record_data_id(record.bytes), 101);
    EXPECT_EQ(record_word(record.bytes, 1), 240);
    EXPECT_THAT(record_word(record.bytes, 13), ::testing::AnyOf(170, 85));
  }
}

// A pseudo-terminal whose other end the test holds: a unit that never
// answers, and a record of when every byte the gateway wrote arrived.
class SilentLine {
 public:
  SilentLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    path_ = ptsname(master_);
  }
  ~SilentLine() { ::close(master_); }
  const std::string& path() const { return path_; }

  // Takes what arrives for `timeout`.
  void listen(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
      pollfd waiting{master_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - now);
      if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t bytes[256];
      const ssize_t count = ::read(master_, bytes, sizeof bytes);
      if (count <= 0) return;  // the gateway closed its end
      for (ssize_t i = 0; i < count; ++i) arrivals_.push_back({Clock::now(), bytes[i]});
    }
  }
  bool heard_anything() const { return !arrivals_.empty(); }
  size_t bytes_after(Clock::time_point time) const {
    size_t count = 0;
    for (const auto& arrival : arrivals_) count += arrival.at > time;
    return count;
  }
  // Whether a single-register write (function 6) for slave 1 came.
  bool heard_a_write() const {
    for (size_t i = 0; i + 1 < arrivals_.size(); ++i)
      if (arrivals_[i].byte == 1 && arrivals_[i + 1].byte == 6) return true;
    return false;
  }

 private:
  struct Arrival {
    Clock::time_point at;
    uint8_t byte;
  };
  int master_ = -1;
  std::string path_;
  std::vector<Arrival> arrivals_;
};

TEST_F(GatewayService, StopsPromptlyFromASilentUnitWithTheLargestTimeoutsAndWritesNothingAfter) {
  SilentLine line;
  port = line.path();
  write_config(harness::config_text().replace(
      harness::config_text().find("\"response_timeout_ms\": 400, \"retries\": 1"),
      std::string("\"response_timeout_ms\": 400, \"retries\": 1").size(),
      "\"response_timeout_ms\": 60000, \"retries\": 10"));
  auto gateway = start_gateway({});
  line.listen(milliseconds(500));
  ASSERT_TRUE(line.heard_anything()) << gateway->err();
  // A command waits behind the round that the silent unit holds up.
  Process client(ctl_args({"set-temperature", "ac1", "26"}));
  for (int i = 0; i < 100 && unit_status("ac1")["commands_waiting"] != 1; ++i)
    std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(unit_status("ac1")["commands_waiting"], 1);

  const auto signalled = Clock::now();
  gateway->signal(SIGTERM);
  const int status = gateway->wait_exit(milliseconds(65000));
  const auto stopped = Clock::now();
  line.listen(milliseconds(100));
  EXPECT_EQ(status, 0) << gateway->err();
  // Within one response timeout and the exchange in flight, as the least;
  // here well within it, since a read's wait ends at the stop.
  EXPECT_LT(stopped - signalled, milliseconds(5000));
  EXPECT_EQ(line.bytes_after(signalled + milliseconds(20)), 0u) << "no request after the signal";
  EXPECT_FALSE(line.heard_a_write()) << "the waiting command never went out";
  EXPECT_EQ(client.wait_exit(), 3);
  EXPECT_EQ(client.out(), "command ac1 set temperature 26: not done: stopping\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("history.db-wal"))) << "the history was closed";
  EXPECT_FALSE(std::filesystem::exists(dir.file("control.sock")));
}

TEST_F(GatewayService, SighupSetsUpAChangedUnitKeepsTheOtherPollingAndSurvivesABrokenFile) {
  start_unit({"--slave", "1", "--slave", "2"});
  auto units = [](int second_data_id) {
    return harness::config_text(R"([{"name": "ac1", "slave": 1, "data_id": 101},
      {"name": "ac2", "slave": 2, "data_id": )" +
                                std::to_string(second_data_id) + "}]");
  };
  write_config(units(102));
  auto gateway = start_service();
  ASSERT_TRUE(gateway->next_line("report ac2"));

  write_config(units(202));
  gateway->signal(SIGHUP);
  const auto applied = gateway->next_line("reload on ", Process::kErr);
  ASSERT_TRUE(applied) << gateway->err();
  EXPECT_THAT(*applied, HasSubstr("set up again ac2; removed -; unchanged ac1"));
  for (int round = 0; round < 2; ++round) ASSERT_TRUE(gateway->next_line("report ac2"));

  write_config("{\"units\": [");
  gateway->signal(SIGHUP);
  EXPECT_TRUE(gateway->next_line(dir.file("config.json") + ": not valid JSON", Process::kErr));
  const Finished refused = ctl({"reload"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.out, HasSubstr("error: " + dir.file("config.json") + ": not valid JSON"));
  for (int round = 0; round < 2; ++round) ASSERT_TRUE(gateway->next_line("report ac1"));
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  EXPECT_EQ(lines_starting(gateway->out(), "reload ac1:").size(), 1u) << "ac1 kept its device";
  EXPECT_EQ(lines_starting(gateway->out(), "reload ac2:").size(), 2u);
  const Summary first = summary_of(gateway->out(), "ac1");
  EXPECT_EQ(first.completed, first.rounds) << "no round of the unchanged unit lost";
  EXPECT_EQ(first.records, first.completed);
  long renamed = 0;
  for (const auto& record : records()) {
    if (record.device == "ac1") {
      EXPECT_EQ(record.data_id, 101);
    }
    renamed += record.device == "ac2" && record.data_id == 202;
  }
  EXPECT_GE(renamed, 2) << "the changed unit's device has its new data id";
}

TEST_F(GatewayService, ASignalStormLosesNoPortAndNoRound) {
  start_unit();
  write_config(harness::config_text());
  auto gateway = start_service();
  ASSERT_TRUE(gateway->next_line("report ac1"));
  // Spread over many rounds, so that signals come while requests and
  // replies are on their way.
  for (int i = 0; i < 300; ++i) {
    for (int number : {SIGHUP, SIGUSR1, SIGWINCH, SIGCHLD, SIGURG}) gateway->signal(number);
    gateway->drain(milliseconds(1));
  }
  for (int round = 0; round < 3; ++round) ASSERT_TRUE(gateway->next_line("report ac1"));
  ASSERT_FALSE(gateway->exited());
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  EXPECT_THAT(gateway->err(), HasSubstr("reload on ")) << "the reloads were carried out";
  EXPECT_THAT(gateway->err(), HasSubstr("ac1 (slave 1, data id 101): answering"))
      << "SIGUSR1 logged the state";
  EXPECT_THAT(gateway->err(), ::testing::Not(HasSubstr(" lost: ")));
  const harness::PortSummary port_summary = harness::port_summary_of(gateway->out());
  EXPECT_EQ(port_summary.lost, 0);
  const Summary summary = summary_of(gateway->out(), "ac1");
  EXPECT_EQ(summary.completed, summary.rounds);
  EXPECT_EQ(summary.timeouts + summary.bad + summary.port_errors, 0);
  EXPECT_EQ(summary.records, summary.completed) << gateway->out() << gateway->err();
}

TEST_F(GatewayService, LogsWithLevelsAndTimesOrTheJournalsPrefixesAndTracesFramesAtDebug) {
  start_unit();
  write_config(harness::config_text());
  Finished run = run_gateway({"--rounds", "1", "--log-level", "debug"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::regex stamped(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d "
      "(error|warning|notice|info|debug): .*");
  for (const std::string& line : lines_starting(run.err, ""))
    EXPECT_TRUE(std::regex_match(line, stamped)) << line;
  // Each try: the request and the reply in hex (CRC included), and the outcome.
  EXPECT_THAT(run.err, HasSubstr("debug: frame ac1 (slave 1): > 01 03 00 01 00 04 15 c9; < 01 "
                                 "03 08 00 f0 "));
  EXPECT_THAT(run.err, HasSubstr("; ok\n"));

  run = run_gateway({"--rounds", "1", "--log-level", "warning"});
  EXPECT_EQ(run.err, "") << "nothing below a warning";

  // With standard error as the journal: the priority as "<N>", no time.
  std::string command = "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec";
  for (const std::string& arg : gateway_args({"--rounds", "1", "--log-level", "debug"}))
    command += " '" + arg + "'";
  Process journal({"/bin/sh", "-c", command});
  ASSERT_EQ(journal.wait_exit(), 0) << journal.err();
  for (const std::string& line : lines_starting(journal.err(), ""))
    EXPECT_TRUE(std::regex_match(line, std::regex("<[3-7]>[^<].*"))) << line;
  EXPECT_THAT(journal.err(), HasSubstr("<7>frame ac1 (slave 1): > 01 03 00 01"));
  EXPECT_EQ(lines_starting(journal.out(), "summary ac1: rounds 1 completed 1").size(), 1u)
      << "standard output is not the journal: its lines stay as they are";
}

TEST_F(GatewayService, ThePluginsOwnLinesReachTheLogOnlyAtDebug) {
  start_unit();
  write_config(harness::config_text());
  Finished run = run_gateway({"--rounds", "2"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out + run.err, Not(HasSubstr("rvSize")));
  EXPECT_EQ(lines_starting(run.out, "summary ac1: rounds 2 completed 2").size(), 1u) << run.out;

  run = run_gateway({"--rounds", "2", "--log-level", "debug"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("debug: plug-in: rvSize is 0\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("rvSize")));
}

// A datagram socket of the test's own, as the service manager's.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot bind " + path);
  }
  ~NotifySocket() { ::close(fd_); }

  // The next message that holds `needle`, within `timeout`.
  std::optional<std::string> next(const std::string& needle, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      pollfd waiting{fd_, POLLIN, 0};
      if (::poll(&waiting, 1, 100) <= 0) continue;
      char message[4096];
      const ssize_t count = ::recv(fd_, message, sizeof message, 0);
      if (count <= 0) continue;
      std::string text(message, static_cast<size_t>(count));
      if (text.find(needle) != std::string::npos) return text;
    }
    return std::nullopt;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

TEST_F(GatewayService, TellsTheServiceManagerReadyStatusWatchdogAndStopping) {
  start_unit();
  write_config(harness::config_text());
  NotifySocket manager(dir.file("notify"));
  Process gateway(gateway_args({"--interval", "0.05", "--log-level", "debug"}),
                  {"NOTIFY_SOCKET=" + dir.file("notify"), "WATCHDOG_USEC=400000"});
  ASSERT_TRUE(manager.next("READY=1", testproc::kPatience)) << gateway.err();
  EXPECT_THAT(gateway.err(), ::testing::Not(HasSubstr("plug-in: rvSize")))
      << "ready once set up, before the first round's lines";
  EXPECT_EQ(ctl({"status"}).status, 0) << "the socket answers when ready";
  const auto status = manager.next("1 of 1 units answering", milliseconds(5000));
  ASSERT_TRUE(status) << "a status line once the unit answered";
  EXPECT_THAT(*status,
              ::testing::MatchesRegex("STATUS=[0-9]+ rounds completed; 1 of 1 units answering"));
  for (int kick = 0; kick < 3; ++kick)
    EXPECT_TRUE(manager.next("WATCHDOG=1", milliseconds(2000))) << "kick " << kick;
  gateway.signal(SIGTERM);
  EXPECT_TRUE(manager.next("STOPPING=1", milliseconds(5000)));
  EXPECT_EQ(gateway.wait_exit(), 0);
}

}  // namespace
