// The gateway's outputs as a user meets them, the gateway a program polling
// the simulated unit: JSON Lines on standard output and in a file, the
// metrics scraped over HTTP and checked by Prometheus's promtool (a unit
// that falls silent loses its readings), alarm notifications held back
// and time-limited, and the history written out by the command line
// while a gateway writes it.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include <httplib.h>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"

namespace {

using harness::eventually;
using harness::Finished;
using ::testing::HasSubstr;
using ::testing::Not;
using testproc::Process;
using Clock = std::chrono::steady_clock;

constexpr char kWaterOnTheFloor[] = "120800150010";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

Json::Value parsed(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

// Waits for `done` (checked every 50 ms) up to the tests' patience.
class GatewayOutputs : public harness::GatewayTest {
 protected:
  // The harness's configuration (one unit, ac1, supervising water on the
  // floor) with `sections` added.
  void write_config_with(const Json::Value& sections) {
    Json::Value config = parsed(harness::config_text());
    for (const std::string& key : sections.getMemberNames()) config[key] = sections[key];
    write_config(Json::FastWriter().write(config));
  }

  void start_unit_with_scenario(const std::string& scenario) {
    dir.write("scenario.txt", scenario);
    start_unit({"--scenario", dir.file("scenario.txt")});
  }
};

TEST_F(GatewayOutputs, JsonLinesCarryEveryRoundOnStandardOutputAndInTheirFile) {
  start_unit_with_scenario("0 floor_water on\n");
  Json::Value sections;
  sections["jsonl"]["path"] = "rounds.jsonl";  // beside the configuration
  write_config_with(sections);
  const mode_t umask_before = ::umask(0);  // the file is the group's alone whatever the umask
  const Finished run = run_gateway({"--rounds", "3", "--output", "jsonl"});
  ::umask(umask_before);
  ASSERT_EQ(run.status, 0) << run.err;
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("rounds.jsonl").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);

  const std::vector<std::string> lines = lines_of(run.out);
  ASSERT_EQ(lines.size(), 3u) << "nothing but the lines on standard output:\n" << run.out;
  const std::regex iso8601("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d");
  for (size_t i = 0; i < lines.size(); ++i) {
    const Json::Value round = parsed(lines[i]);
    EXPECT_EQ(round["unit"], "ac1");
    EXPECT_EQ(round["round"].asInt64(), static_cast<Json::Int64>(i + 1));
    EXPECT_TRUE(std::regex_match(round["time"].asString(), iso8601)) << round["time"];
    EXPECT_EQ(round["state"], "answering");
    EXPECT_TRUE(round["readings"]["set_temperature"].isDouble());
    EXPECT_EQ(round["readings"]["set_temperature"], 24.0);
    EXPECT_TRUE(round["readings"]["return_air_humidity"].isNumeric());
    EXPECT_EQ(round["readings"]["water_on_floor"], true);
    ASSERT_EQ(round["alarms"].size(), 1u) << lines[i];
    EXPECT_EQ(round["alarms"][0]["signal_id"], kWaterOnTheFloor);
    EXPECT_EQ(round["alarms"][0]["title"], "Water on the floor");
  }
  std::ifstream file(dir.file("rounds.jsonl"));
  const std::string written((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
  EXPECT_EQ(written, run.out);
  EXPECT_THAT(run.err, HasSubstr("summary ac1: rounds 3 completed 3"))
      << "the record lines go to standard error";
}

class Scraper {
 public:
  explicit Scraper(const std::string& address) : client_("http://" + address) {
    client_.set_read_timeout(5);
  }
  std::string metrics() {
    const auto response = client_.Get("/metrics");
    return response && response->status == 200 ? response->body : std::string();
  }
  httplib::Client& client() { return client_; }

 private:
  httplib::Client client_;
};

// Prometheus's own check of an exposition text: its exit status and words.
std::pair<int, std::string> promtool_check(const std::string& text, const std::string& file) {
  std::ofstream(file) << text;
  std::FILE* pipe = ::popen(("promtool check metrics < " + file + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// The HTTP address that the gateway's log names ("127.0.0.1:PORT"), or "".
std::string http_address_of(Process& gateway) {
  const auto line = gateway.next_line("metrics at http://", Process::kErr);
  std::smatch match;
  if (!line || !std::regex_search(*line, match, std::regex("http://([^/]+)/metrics"))) return {};
  return match[1];
}

// Connections that each send a request a byte a second, never whole, and
// note when the gateway ends them (closes, or answers).
class Tricklers {
 public:
  Tricklers(int port, int count) : began_(Clock::now()) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const timeval within{2, 0};  // connect's patience
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &within, sizeof within);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        continue;
      }
      connections_.push_back({fd, Clock::now(), std::nullopt});
    }
    thread_ = std::thread([this] { trickle(); });
  }
  ~Tricklers() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (const Connection& connection : connections_)
      if (!connection.ended) ::close(connection.fd);
  }
  size_t connected() const { return connections_.size(); }
  // Seconds from each connect to its end; for every connection once all
  // ended (or after `patience`).
  std::vector<double> lifetimes(std::chrono::seconds patience) {
    while (!all_ended_ && Clock::now() - began_ < patience)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop_ = true;
    thread_.join();
    std::vector<double> seconds;
    for (const Connection& connection : connections_)
      seconds.push_back(
          connection.ended
              ? std::chrono::duration<double>(*connection.ended - connection.connected).count()
              : 1e9);
    return seconds;
  }

 private:
  struct Connection {
    int fd;
    Clock::time_point connected;
    std::optional<Clock::time_point> ended;
  };
  void trickle() {
    const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: gateway\r\nUser-Agent: slow\r\n\r\n";
    for (int tick = 0; !stop_; ++tick) {  // every 0.1 s; a byte every second
      bool open = false;
      for (Connection& connection : connections_) {
        if (connection.ended) continue;
        char byte;
        const ssize_t got = ::recv(connection.fd, &byte, 1, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
          connection.ended = Clock::now();
          ::close(connection.fd);
          continue;
        }
        open = true;
        if (tick % 10 == 0)
          ::send(connection.fd, &request[(tick / 10) % request.size()], 1, MSG_NOSIGNAL);
      }
      all_ended_ = !open;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  Clock::time_point began_;
  std::vector<Connection> connections_;
  std::atomic<bool> stop_{false}, all_ended_{false};
  std::thread thread_;
};

// Two hundred connections that trickle a request a byte a second hold no
// thread that a scrape needs: each scrape is answered within 1 s. Each of
// them is cut 10 s after its accept, its request not whole.
TEST_F(GatewayOutputs, TricklingConnectionsDelayNoScrapeAndAreCutTenSecondsAfterTheirAccept) {
  start_unit();
  Json::Value sections;
  sections["http"]["listen"] = "127.0.0.1:0";
  write_config_with(sections);
  auto gateway = start_gateway({"--interval", "0.2"});
  const std::string address = http_address_of(*gateway);
  ASSERT_FALSE(address.empty()) << gateway->err();
  Tricklers tricklers(std::stoi(address.substr(address.rfind(':') + 1)), 200);
  EXPECT_EQ(tricklers.connected(), 200u);

  std::this_thread::sleep_for(std::chrono::seconds(2));  // trickling
  for (int scrape = 0; scrape < 6; ++scrape) {
    httplib::Client client("http://" + address);
    client.set_connection_timeout(1);
    client.set_read_timeout(1);
    const Clock::time_point asked = Clock::now();
    const auto answer = client.Get("/metrics");
    const double seconds = std::chrono::duration<double>(Clock::now() - asked).count();
    EXPECT_TRUE(answer && answer->status == 200) << "scrape " << scrape;
    EXPECT_LT(seconds, 1.0) << "scrape " << scrape;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  for (const double seconds : tricklers.lifetimes(std::chrono::seconds(15))) {
    EXPECT_GE(seconds, 9.5) << "cut before its deadline";
    EXPECT_LE(seconds, 12.0) << "not cut at its deadline";
  }
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

// The notifications that the test's program saw: one file of NORVANE_*
// variables per run, in the order of the runs.
std::vector<std::map<std::string, std::string>> notifications(const std::string& folder) {
  std::vector<std::map<std::string, std::string>> runs;
  for (int i = 1;; ++i) {
    std::ifstream file(folder + "/notification." + std::to_string(i));
    if (!file) return runs;
    std::map<std::string, std::string>& run = runs.emplace_back();
    for (std::string line; std::getline(file, line);)
      if (line.rfind("NORVANE_", 0) == 0)
        run[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  }
}

// A program that notes each notification: its NORVANE_* environment in a
// file of its own, numbered in the order of the runs.
void write_notification_program(const testproc::TempDir& dir) {
  dir.write("tell",
            "#!/bin/sh\nn=$(ls \"$1\" | grep -c '^notification\\.')\n"
            "env > \"$1/notification.$((n + 1))\"\n");
  ASSERT_EQ(::chmod(dir.file("tell").c_str(), 0755), 0);
}

// The unit falls silent and answers again: the scrape shows it down with
// the comm-loss alarm active, and the notification program hears of the
// loss and of the recovery.
TEST_F(GatewayOutputs, MetricsPassPromtoolAndASilentUnitIsDownAlarmedAndNotified) {
  start_unit_with_scenario("0 floor_water on\n");
  Json::Value sections;
  sections["http"]["listen"] = "127.0.0.1:0";
  sections["bus"]["response_timeout_ms"] = 100;
  sections["bus"]["retries"] = 0;
  write_notification_program(dir);
  sections["notify"]["exec"].append("tell");
  sections["notify"]["exec"].append(dir.path());
  write_config_with(sections);
  auto gateway = start_gateway({"--interval", "0.1"});
  const std::string address = http_address_of(*gateway);
  ASSERT_FALSE(address.empty()) << gateway->err();
  Scraper scraper(address);
  const std::string up = "\nnorvane_unit_up{unit=\"ac1\"} 1\n";
  std::string text;
  ASSERT_TRUE(eventually([&] { return (text = scraper.metrics()).find(up) != std::string::npos; }));

  const auto [status, words] = promtool_check(text, dir.file("scrape.txt"));
  EXPECT_EQ(status, 0) << words << text;
  EXPECT_THAT(text, HasSubstr("\nnorvane_set_temperature_celsius{unit=\"ac1\"} 24.0\n"));
  EXPECT_THAT(text,
              HasSubstr("\nnorvane_alarm_active{unit=\"ac1\",signal_id=\"120800150010\","
                        "title=\"Water on the floor\",level=\"3\",severity=\"critical\"} 1\n"));
  const auto post = scraper.client().Post("/metrics", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405) << "read-only";

  unit->signal(SIGUSR1);  // the unit falls silent
  ASSERT_TRUE(eventually([&] {
    return (text = scraper.metrics()).find("\nnorvane_unit_up{unit=\"ac1\"} 0\n") !=
           std::string::npos;
  })) << text;
  EXPECT_THAT(text, Not(HasSubstr("norvane_set_temperature_celsius{unit=\"ac1\"}")))
      << "no reading of a silent unit passes for a current one";
  EXPECT_THAT(text, HasSubstr("\nnorvane_alarm_active{unit=\"ac1\",signal_id=\"comm_lost\","
                              "title=\"Unit not answering\",level=\"2\",severity=\"major\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_unit_state{unit=\"ac1\",state=\"not_answering\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_last_round_timestamp_seconds{unit=\"ac1\"} "));
  EXPECT_EQ(promtool_check(text, dir.file("scrape.txt")).first, 0);
  unit->signal(SIGUSR2);
  EXPECT_TRUE(eventually([&] { return scraper.metrics().find(up) != std::string::npos; }));
  const auto comm_loss = [&] {
    std::vector<std::map<std::string, std::string>> told;
    for (auto& run : notifications(dir.path()))
      if (run["NORVANE_SIGNAL_ID"] == "comm_lost") told.push_back(run);
    return told;
  };
  EXPECT_TRUE(eventually([&] { return comm_loss().size() >= 2; }));
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const auto told = comm_loss();
  ASSERT_EQ(told.size(), 2u) << gateway->err();
  for (size_t i = 0; i < told.size(); ++i) {
    EXPECT_EQ(told[i].at("NORVANE_UNIT"), "ac1");
    EXPECT_EQ(told[i].at("NORVANE_TITLE"), "Unit not answering");
    EXPECT_EQ(told[i].at("NORVANE_STATE"), i == 0 ? "raised" : "cleared");
    EXPECT_EQ(told[i].at("NORVANE_LEVEL"), "2");
  }
}

TEST_F(GatewayOutputs, NotificationsTellWhatLastedAndNothingOfAFlapWhileTheLogHoldsEveryChange) {
  // The filter's flag flaps for 0.3 s; the water stays 2 s.
  start_unit_with_scenario(
      "0.3 filter_clogged on\n0.6 filter_clogged off\n0.3 floor_water on\n2.3 floor_water off\n");
  write_notification_program(dir);
  Json::Value sections = parsed(harness::config_text())["units"];
  sections[0]["alarm_levels"]["120800260010"] = 2;  // the filter
  Json::Value config;
  config["units"] = sections;
  config["interval_s"] = 0.1;
  config["notify"]["exec"].append("tell");
  config["notify"]["exec"].append(dir.path());
  config["notify"]["min_duration_s"] = 1;
  write_config_with(config);
  auto gateway = start_gateway({});
  EXPECT_TRUE(eventually([&] { return notifications(dir.path()).size() >= 2; }));
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const auto told = notifications(dir.path());
  ASSERT_EQ(told.size(), 2u) << gateway->err();
  for (size_t i = 0; i < told.size(); ++i) {
    EXPECT_EQ(told[i].at("NORVANE_UNIT"), "ac1");
    EXPECT_EQ(told[i].at("NORVANE_SIGNAL_ID"), kWaterOnTheFloor);
    EXPECT_EQ(told[i].at("NORVANE_TITLE"), "Water on the floor");
    EXPECT_EQ(told[i].at("NORVANE_STATE"), i == 0 ? "raised" : "cleared");
    EXPECT_EQ(told[i].at("NORVANE_LEVEL"), "3");
    EXPECT_TRUE(std::regex_match(told[i].at("NORVANE_TIME"),
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}[+-]\\d\\d:\\d\\d")));
  }
  std::vector<std::string> stored;
  for (const auto& event : events()) stored.push_back(event.signal_id + " " + event.state);
  EXPECT_EQ(stored, (std::vector<std::string>{"120800150010 raised", "120800260010 raised",
                                              "120800260010 cleared", "120800150010 cleared"}))
      << "the history holds the flap";
}

// A notification says what a person needs to act: the unit's title, its
// bus and slave, the level by name, the limit alarm's unit of measure, how
// many alarms the unit has, and where the status page is.
TEST_F(GatewayOutputs, ANotificationNamesTheUnitItsPlaceTheLevelAndWhereToLook) {
  start_unit();  // its return air is near 24 C, above the limit of 20
  write_notification_program(dir);
  Json::Value config;
  config["units"] = parsed(harness::config_text())["units"];
  config["units"][0]["title"] = "Room B2 \u2013 north";
  config["units"][0]["alarm_levels"]["120800090010"] = 3;
  config["units"][0]["alarm_thresholds"]["120800090010"] = 20.0;
  config["http"]["listen"] = "127.0.0.1:0";
  config["notify"]["exec"].append("tell");
  config["notify"]["exec"].append(dir.path());
  write_config_with(config);
  auto gateway = start_gateway({"--interval", "0.2"});
  const std::string address = http_address_of(*gateway);
  EXPECT_TRUE(eventually([&] { return !notifications(dir.path()).empty(); }));
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  const auto told = notifications(dir.path());
  ASSERT_FALSE(told.empty()) << gateway->err();
  const auto& run = told.front();
  EXPECT_EQ(run.at("NORVANE_UNIT"), "ac1");
  EXPECT_EQ(run.at("NORVANE_UNIT_LABEL"), "Room B2 \xE2\x80\x93 north");
  EXPECT_EQ(run.at("NORVANE_SIGNAL_ID"), "120800090010");
  EXPECT_EQ(run.at("NORVANE_TITLE"), "Return air temperature high");
  EXPECT_FALSE(run.at("NORVANE_UNIT_TITLE").empty()) << "the plug-in's own title stays";
  EXPECT_NE(run.at("NORVANE_UNIT_TITLE"), run.at("NORVANE_UNIT_LABEL"));
  EXPECT_EQ(run.at("NORVANE_STATE"), "raised");
  EXPECT_EQ(run.at("NORVANE_LEVEL"), "3");
  EXPECT_EQ(run.at("NORVANE_LEVEL_NAME"), "critical");
  EXPECT_EQ(run.at("NORVANE_VALUE_UNIT"),
            "\xC2\xB0"
            "C");
  EXPECT_EQ(run.at("NORVANE_LIMIT"), "20");
  EXPECT_TRUE(std::regex_match(run.at("NORVANE_VALUE"), std::regex("2[0-9](\\.[0-9])?")))
      << "the return air as the unit gave it, in tenths, without float noise: "
      << run.at("NORVANE_VALUE");
  EXPECT_EQ(run.at("NORVANE_BUS"), pty);
  EXPECT_EQ(run.at("NORVANE_SLAVE"), "1");
  EXPECT_EQ(run.at("NORVANE_ACTIVE_ALARMS"), "1");
  EXPECT_EQ(run.at("NORVANE_PAGE"), "http://" + address + "/");
  EXPECT_FALSE(run.at("NORVANE_HOST").empty());
}

TEST_F(GatewayOutputs, ANotificationProgramThatHangsIsStoppedAndPollingGoesOn) {
  start_unit_with_scenario("0 floor_water on\n");
  Json::Value config;
  config["notify"]["exec"].append("/bin/sleep");
  config["notify"]["exec"].append("30");
  config["notify"]["timeout_s"] = 1;
  write_config_with(config);
  const auto started = Clock::now();
  const Finished run = run_gateway({"--rounds", "40", "--interval", "0.05"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << "never waits 30 s";
  EXPECT_EQ(harness::summary_of(run.out, "ac1").completed, 40);
  EXPECT_THAT(run.err, HasSubstr("notify ac1 raised 120800150010 (Water on the floor): /bin/sleep "
                                 "stopped at its time limit"));
}

// The water alarm raised and cleared every 0.2 s for 6 s: a change for
// the notifier every round or two.
std::string flapping_water() {
  std::string scenario;
  for (int i = 1; i <= 30; ++i)
    scenario += std::to_string(i * 0.2) + " floor_water " + (i % 2 == 1 ? "on" : "off") + "\n";
  return scenario;
}

// A stop lets go of a program that hangs and ignores SIGTERM, and starts
// none of the notifications that wait behind it: the notifier lets go
// within 0.5 s, the gateway exits within 1 s of SIGTERM (1.5 s allowed
// here for a loaded machine and the sanitizers).
TEST_F(GatewayOutputs, AStopLetsGoOfAHangingNotificationProgramAndStartsNoOther) {
  start_unit_with_scenario(flapping_water());
  dir.write("hang",
            "#!/bin/sh\ntrap '' TERM\necho $$ >> \"$1/started\"\nwhile :; do sleep 1; done\n");
  ASSERT_EQ(::chmod(dir.file("hang").c_str(), 0755), 0);
  Json::Value config;
  config["interval_s"] = 0.1;
  config["notify"]["exec"].append(dir.file("hang"));
  config["notify"]["exec"].append(dir.path());
  config["notify"]["timeout_s"] = 30;
  write_config_with(config);
  auto gateway = start_gateway({});
  for (int change = 0; change < 6; ++change)
    ASSERT_TRUE(gateway->next_line("alarm ac1 ")) << "changes queue behind the hanging program";
  const auto term = Clock::now();
  gateway->signal(SIGTERM);
  const int status = gateway->wait_exit();
  const auto took = Clock::now() - term;
  ASSERT_EQ(status, 0) << gateway->err();
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_THAT(gateway->err(), HasSubstr("notify ac1 raised 120800150010 (Water on the floor): " +
                                        dir.file("hang") + " stopped: the gateway stops"));
  std::smatch not_told;
  const std::string err = gateway->err();
  ASSERT_TRUE(std::regex_search(err, not_told, std::regex("notify: (\\d+) alarm changes not told")))
      << err;
  EXPECT_GE(std::stoi(not_told[1]), 4);
  std::ifstream started(dir.file("started"));
  std::vector<pid_t> programs;
  for (pid_t pid; started >> pid;) programs.push_back(pid);
  ASSERT_EQ(programs.size(), 1u) << "none started after the first";
  EXPECT_EQ(::kill(programs[0], 0), -1) << "the program is gone, SIGKILLed";
}

TEST_F(GatewayOutputs, AChattyNotificationProgramLeavesAtMostFourKiBOfItsOutputInTheLog) {
  start_unit_with_scenario("0 floor_water on\n");
  dir.write("printer", "#!/bin/sh\nyes 0123456789abcdef | head -c 10000000\n");
  ASSERT_EQ(::chmod(dir.file("printer").c_str(), 0755), 0);
  Json::Value config;
  config["notify"]["exec"].append(dir.file("printer"));
  write_config_with(config);
  auto gateway = start_gateway({"--interval", "0.1"});
  const auto told = gateway->next_line("notify ac1 raised", Process::kErr);
  ASSERT_TRUE(told) << gateway->err();
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();

  size_t logged = 0;
  for (const std::string& line : lines_of(gateway->err())) {
    const size_t at = line.find("notify output: ");
    if (at != std::string::npos) logged += line.size() - at - 15 + 1;  // and its line feed
  }
  EXPECT_GT(logged, 0u);
  EXPECT_LE(logged, 4096u);
  EXPECT_THAT(*told, HasSubstr("exited 0; " + std::to_string(10000000 - logged) +
                               " bytes of its output not logged (at most 4096 bytes and 64 lines a "
                               "run)"));
  EXPECT_LT(gateway->err().size(), 64u * 1024) << "the whole log of the run";
}

// What a child prints reaches the log as valid UTF-8: a byte that starts no
// character shows as U+FFFD, and whole characters pass as they are.
TEST_F(GatewayOutputs, ANotificationProgramsBytesReachTheLogAsValidUtf8) {
  start_unit_with_scenario("0 floor_water on\n");
  dir.write("printer", "#!/bin/sh\nprintf 'caf\\351 \\303\\251t\\303\\251\\n'\n");
  ASSERT_EQ(::chmod(dir.file("printer").c_str(), 0755), 0);
  Json::Value config;
  config["notify"]["exec"].append(dir.file("printer"));
  write_config_with(config);
  auto gateway = start_gateway({"--interval", "0.1"});
  ASSERT_TRUE(gateway->next_line("notify ac1 raised", Process::kErr)) << gateway->err();
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  EXPECT_THAT(gateway->err(), HasSubstr("notify output: caf\xEF\xBF\xBD \xC3\xA9t\xC3\xA9\n"));
}

TEST_F(GatewayOutputs, TheHistoryIsWrittenOutWhileAGatewayWritesIt) {
  start_unit_with_scenario("0 floor_water on\n");
  write_config(harness::config_text());
  auto gateway = start_gateway({"--interval", "0.05"});
  ASSERT_TRUE(gateway->next_line("alarm ac1 raised"));
  const auto history = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{NORVANE_GATEWAY, "history"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(),
                {"--config", dir.file("config.json"), "--history", dir.file("history.db")});
    Process client(argv);
    Finished done;
    done.status = client.wait_exit();
    done.out = client.out();
    done.err = client.err();
    return done;
  };
  // The writer stores the alarm's round on its own thread: export until its
  // record is there (within 5 s), each time while the gateway writes.
  Finished during;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  do {
    during = history({"export", "--unit", "ac1", "--format", "jsonl"});
    ASSERT_EQ(during.status, 0) << during.err;
  } while (lines_of(during.out).empty() && Clock::now() < deadline);
  EXPECT_FALSE(lines_of(during.out).empty());
  for (const std::string& line : lines_of(during.out))
    EXPECT_EQ(parsed(line)["readings"]["set_humidity"], 50.0) << line;
  const Finished alarms = history({"alarms", "--format", "csv"});
  EXPECT_EQ(alarms.status, 0) << alarms.err;
  EXPECT_THAT(alarms.out,
              HasSubstr("time,unit,signal_id,state,level,title,stored_title,detail\r\n"));
  EXPECT_THAT(alarms.out, HasSubstr(",ac1,120800150010,raised,3,Water on the floor,"));

  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0);
  const Finished after = history({"export", "--format", "csv"});
  EXPECT_EQ(lines_of(after.out).size(), records().size() + 1) << "every record and the header";
  EXPECT_THAT(after.err, HasSubstr("history: " + std::to_string(records().size()) + " records"));
  EXPECT_EQ(history({"export", "--since", "yesterday"}).status, 2);
  // Mistakes that an empty file would hide.
  const Finished unknown = history({"export", "--unit", "ac9"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("--unit ac9: no such unit in "));
  EXPECT_THAT(unknown.err, HasSubstr("(ac1)"));
  EXPECT_EQ(unknown.out, "");
  const Finished empty =
      history({"alarms", "--since", "2024-05-02", "--until", "2024-05-01T12:00"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_THAT(empty.err, HasSubstr("--since 2024-05-02 is not before --until 2024-05-01T12:00: "
                                   "the period is empty"));
}

}  // namespace
