// The outputs' parts in process: the metrics of a state table (a stale
// unit's readings gone, alarms by English title, counters from their
// table), the hold-back of alarm notifications, what MQTT takes and
// announces, the HTTP request's deadline, and the outputs' threads taking events and serving
// scrapes while a bus publishes (this one for ThreadSanitizer too).
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "gateway/outputs/alarm_hold_back.h"
#include "gateway/outputs/alarm_notifier.h"
#include "gateway/outputs/metrics.h"
#include "gateway/outputs/mqtt_discovery.h"
#include "gateway/outputs/mqtt_messages.h"
#include "gateway/outputs/outputs.h"
#include "gateway/outputs/request_deadlines.h"
#include "gateway/readings/alarm_table.h"
#include "tests/outputs/records.h"
#include "tests/support/process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

gw::state::UnitState unit_with_round(const std::string& name, gw::base::SystemTime at) {
  gw::state::UnitState unit;
  unit.name = name;
  unit.port = "/dev/ttyS1";
  unit.status = gw::state::UnitStatus::kAnswering;
  unit.last_round_at = at;
  // 24.1 C return air, 50.5 % return air humidity, running, 8760 fan hours.
  unit.record = records::record(101, {{22, 241}, {23, 505}, {27, 1}, {31, 1}, {62, 8760}});
  unit.counters.rounds = 12;
  unit.counters.completed = 11;
  return unit;
}

TEST(Metrics, ShowFreshReadingsAlarmsAndCountersAndLeaveStaleReadingsOut) {
  const auto now = std::chrono::system_clock::now();
  gw::state::StateSnapshot snapshot;
  snapshot.buses.push_back({"/dev/ttyS1", true, 2, 1, 5.0});
  gw::state::UnitState fresh = unit_with_round("ac1", now - 3s);
  fresh.title = "Raum 1 \"Ost\"";
  fresh.slave = 7;
  fresh.data_id = 101;
  fresh.alarms.push_back({"120800150010", 3, "(the plug-in's title)", "", now - 1s, {}, {}});
  fresh.commands_by_outcome = {{gw::base::CommandOutcome::kDone, 2},
                               {gw::base::CommandOutcome::kBusy, 1}};
  gw::state::UnitState silent = unit_with_round("ac\"2", now - 30s);
  silent.status = gw::state::UnitStatus::kNotAnswering;
  gw::state::UnitState old = unit_with_round("ac3", now - 600s);  // answering, but long ago
  snapshot.units = {fresh, silent, old};
  const std::string text = gw::outputs::metrics_text({"1.0.0", 1, "c"}, snapshot, now);

  EXPECT_THAT(text, HasSubstr("\nnorvane_unit_up{unit=\"ac1\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_unit_up{unit=\"ac\\\"2\"} 0\n")) << "escaped label";
  EXPECT_THAT(text, HasSubstr("\nnorvane_unit_up{unit=\"ac3\"} 0\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_return_air_temperature_celsius{unit=\"ac1\"} 24.1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_return_air_humidity_percent{unit=\"ac1\"} 50.5\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_indoor_fan_run_time_seconds{unit=\"ac1\"} 31536000\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_water_on_floor{unit=\"ac1\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_run_state{unit=\"ac1\",state=\"running\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_run_state{unit=\"ac1\",state=\"stopped\"} 0\n"));
  for (const char* stale : {"ac\\\"2", "ac3"}) {
    EXPECT_THAT(text, Not(HasSubstr("_celsius{unit=\"" + std::string(stale))));
    EXPECT_THAT(text, HasSubstr("norvane_last_round_timestamp_seconds{unit=\"" +
                                std::string(stale) + "\"}"))
        << "its age stays known";
  }
  EXPECT_THAT(text,
              HasSubstr("\nnorvane_alarm_active{unit=\"ac1\",signal_id=\"120800150010\","
                        "title=\"Water on the floor\",level=\"3\",severity=\"critical\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_unit_info{unit=\"ac1\",title=\"Raum 1 \\\"Ost\\\"\","
                              "bus=\"/dev/ttyS1\",slave=\"7\",data_id=\"101\"} 1\n"));
  EXPECT_THAT(text,
              HasSubstr("\nnorvane_unit_state{unit=\"ac\\\"2\",state=\"not_answering\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_rounds_total{unit=\"ac1\"} 12\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_rounds_completed_total{unit=\"ac1\"} 11\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_commands_total{unit=\"ac1\",outcome=\"busy\"} 1\n"));
  EXPECT_THAT(text, HasSubstr("\nnorvane_port_lost_total{port=\"/dev/ttyS1\"} 2\n"));
  EXPECT_THAT(text, HasSubstr("# TYPE norvane_rounds_total counter\n"));
}

// Every label value that names one of a set (a unit's state, a reading's
// state, a command's outcome, an alarm's severity) is a snake_case word,
// whatever the state table holds; only the free texts are as given. The
// manual lists the values of a unit's state, the outcomes and the
// severities (a reading's states are in its own generated table).
TEST(Metrics, LabelValuesOfEveryEnumerationAreSnakeCase) {
  const auto now = std::chrono::system_clock::now();
  gw::state::StateSnapshot snapshot;
  snapshot.buses.push_back({"/dev/tty S1", true, 0, 0, 5.0});
  for (const auto status : {gw::state::UnitStatus::kNotPolled, gw::state::UnitStatus::kAnswering,
                            gw::state::UnitStatus::kNotAnswering}) {
    gw::state::UnitState unit =
        unit_with_round("Unit " + std::to_string(snapshot.units.size()), now - 1s);
    unit.title = "Salle serveurs, armoire n° 2";
    unit.port = "/dev/tty S1";
    unit.status = status;
    for (int outcome = 0; outcome <= static_cast<int>(gw::base::CommandOutcome::kRemoved);
         ++outcome)
      unit.commands_by_outcome[static_cast<gw::base::CommandOutcome>(outcome)] = 1;
    for (const int level : {1, 2, 3, 7, -4})
      unit.alarms.push_back({"comm_lost", level, "t", "", now, {}, {}});
    snapshot.units.push_back(unit);
  }
  const std::string text = gw::outputs::metrics_text({"1.0 beta", 1, "c"}, snapshot, now);

  const std::set<std::string> free_texts = {"unit", "title", "bus", "port", "version"};
  const std::regex label(R"re(([a-z_]+)="((?:[^"\\]|\\.)*)")re");
  const std::regex snake_case("[a-z0-9]+(_[a-z0-9]+)*"), number("-?[0-9]+");
  std::set<std::string> seen;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    for (std::sregex_iterator it(line.begin(), line.end(), label), end; it != end; ++it) {
      const std::string name = (*it)[1], value = (*it)[2];
      if (free_texts.count(name) != 0) continue;
      EXPECT_TRUE(std::regex_match(value, name == "level" ? number : snake_case)) << line;
      seen.insert(name + "=" + value);
    }
  }
  for (const char* value :
       {"state=not_polled", "state=not_answering", "state=running", "outcome=outside_limits",
        "outcome=refused_by_unit", "outcome=no_answer", "outcome=stopping", "severity=warning",
        "severity=major", "severity=critical", "severity=level_7", "severity=level_minus_4"})
    EXPECT_EQ(seen.count(value), 1u) << value << " missing";
  std::ifstream doc(NORVANE_OUTPUTS_DOC);
  const std::string manual((std::istreambuf_iterator<char>(doc)), std::istreambuf_iterator<char>());
  std::set<std::string> listed = {"state=not_polled", "state=answering", "state=not_answering"};
  for (const std::string& pair : seen)
    if ((pair.rfind("outcome=", 0) == 0 || pair.rfind("severity=", 0) == 0) &&
        pair.find("=level_") == std::string::npos)
      listed.insert(pair);
  for (const std::string& pair : listed)
    EXPECT_THAT(manual, HasSubstr("`" + pair.substr(pair.find('=') + 1) + "`"))
        << "docs/outputs.md lacks " << pair;
}

gw::state::AlarmChanged change(const std::string& signal_id, bool raised) {
  return {"ac1", std::chrono::system_clock::now(), signal_id, 3, raised, "t", "d", {}, {}};
}

std::vector<std::string> told(std::vector<gw::state::AlarmChanged> changes) {
  std::vector<std::string> text;
  for (const auto& c : changes) text.push_back(c.signal_id + (c.raised ? " raised" : " cleared"));
  return text;
}

TEST(AlarmHoldBack, TellsAChangeOnceItHasLastedAndNothingOfAFlap) {
  using Clock = gw::outputs::AlarmHoldBack::Clock;
  gw::outputs::AlarmHoldBack hold(60s);
  const Clock::time_point t0{};
  hold.change(change("flap", true), t0);
  hold.change(change("water", true), t0 + 1s);
  hold.change(change("flap", false), t0 + 20s);  // undone within the hold
  EXPECT_TRUE(hold.due(t0 + 59s).empty());
  EXPECT_EQ(told(hold.due(t0 + 61s)), std::vector<std::string>{"water raised"});
  EXPECT_TRUE(hold.due(t0 + 200s).empty()) << "told once";
  hold.change(change("water", false), t0 + 300s);
  hold.change(change("water", true), t0 + 310s);  // back before its clear was told
  EXPECT_TRUE(hold.due(t0 + 400s).empty());
  hold.change(change("water", false), t0 + 500s);
  EXPECT_EQ(hold.next_due(), t0 + 560s);
  EXPECT_EQ(told(hold.due(t0 + 560s)), std::vector<std::string>{"water cleared"});

  gw::outputs::AlarmHoldBack at_once(0s);
  at_once.change(change("a", true), t0);
  at_once.change(change("a", false), t0);
  at_once.change(change("b", false), t0);  // a clear of an alarm raised before a restart
  EXPECT_EQ(told(at_once.due(t0)),
            (std::vector<std::string>{"a raised", "a cleared", "b cleared"}));
}

// A limit alarm's reading and limit reach the notification program as
// people write them, whatever float they went through; a flag alarm has
// none. A page that listens on every interface is named by the host.
TEST(NotificationEnvironment, NumbersWithoutFloatNoiseAndAPageThatPeopleCanOpen) {
  const auto variable = [](const std::vector<std::string>& environment, const std::string& name) {
    for (const std::string& entry : environment)
      if (entry.rfind(name + "=", 0) == 0) return entry.substr(name.size() + 1);
    return std::string("(unset)");
  };
  gw::state::AlarmChanged high = change("120800090010", true);
  high.value = static_cast<float>(24.2);  // 24.2000007629...
  high.limit = static_cast<float>(-0.5);
  gw::state::StateSnapshot snapshot;
  snapshot.units = {unit_with_round("ac1", std::chrono::system_clock::now())};
  const gw::outputs::NotificationContext context = gw::outputs::notification_context(
      snapshot, "ac1", gw::outputs::page_url_of("0.0.0.0:9120", "gw1"), "gw1");
  const auto environment = gw::outputs::notification_environment(high, context);
  EXPECT_EQ(variable(environment, "NORVANE_VALUE"), "24.2");
  EXPECT_EQ(variable(environment, "NORVANE_LIMIT"), "-0.5");
  EXPECT_EQ(variable(environment, "NORVANE_VALUE_UNIT"),
            "\xC2\xB0"
            "C");
  EXPECT_EQ(variable(environment, "NORVANE_PAGE"), "http://gw1:9120/");
  EXPECT_EQ(variable(environment, "NORVANE_BUS"), "/dev/ttyS1");

  high.value = 30.0;
  high.limit = 27.25;
  const auto whole = gw::outputs::notification_environment(high, context);
  EXPECT_EQ(variable(whole, "NORVANE_VALUE"), "30");
  EXPECT_EQ(variable(whole, "NORVANE_LIMIT"), "27.25");

  const auto water = gw::outputs::notification_environment(change("120800150010", true), context);
  EXPECT_EQ(variable(water, "NORVANE_VALUE"), "");
  EXPECT_EQ(variable(water, "NORVANE_LIMIT"), "");
  EXPECT_EQ(variable(water, "NORVANE_VALUE_UNIT"), "");
  EXPECT_EQ(gw::outputs::page_url_of("[::1]:9120", "gw1"), "http://[::1]:9120/");
  EXPECT_EQ(variable(gw::outputs::notification_environment(
                         high, gw::outputs::notification_context(snapshot, "gone", "", "gw1")),
                     "NORVANE_SLAVE"),
            "")
      << "a unit taken out meanwhile";
}

// A request is due whole 10 s after its connection's accept, however it
// trickles, and 10 s after the previous answer on a kept connection; none
// is due while it is answered. A connection is cut once; a closed one never.
TEST(RequestDeadlines, CutAConnectionWhoseRequestIsNotWholeTenSecondsAfterAcceptOrAnswer) {
  using Clock = gw::outputs::RequestDeadlines::Clock;
  gw::outputs::RequestDeadlines deadlines(10s);
  const Clock::time_point t0{};
  const int trickling = 1, answering = 2, kept = 3, closed = 4;
  for (const int* fd : {&trickling, &answering, &kept, &closed}) deadlines.opened(fd, *fd, t0);
  deadlines.delivered(&answering);
  deadlines.delivered(&kept);
  deadlines.answered(&kept, t0 + 5s);
  deadlines.closed(&closed);
  std::vector<int> cut;
  const auto cut_at = [&](Clock::time_point now) {
    cut.clear();
    deadlines.cut_overdue(now, [&](int fd) { cut.push_back(fd); });
    return cut;
  };
  EXPECT_THAT(cut_at(t0 + 9999ms), ::testing::IsEmpty());
  EXPECT_THAT(cut_at(t0 + 10s), ::testing::ElementsAre(trickling));
  EXPECT_THAT(cut_at(t0 + 14s), ::testing::IsEmpty()) << "cut once";
  EXPECT_THAT(cut_at(t0 + 15s), ::testing::ElementsAre(kept));
  EXPECT_THAT(cut_at(t0 + 1h), ::testing::IsEmpty()) << "the one being answered, or closed";
}

TEST(MqttMessages, CommandsFromTheBrokerAreCheckedAsTheSocketChecksThem) {
  const gw::outputs::mqtt::Topics topics{"norvane/gw1"};
  const auto parse = [&](const std::string& leaf, const std::string& payload) {
    return gw::outputs::mqtt::parse_command(topics, "norvane/gw1/ac1/set/" + leaf, payload);
  };
  const auto temperature = parse("temperature", "24.0");
  ASSERT_TRUE(temperature && temperature->command);
  EXPECT_EQ(temperature->unit, "ac1");
  EXPECT_EQ(gw::base::describe(*temperature->command), "set temperature 24");
  EXPECT_EQ(gw::base::describe(*parse("humidity", " 45 ")->command), "set humidity 45");
  EXPECT_EQ(gw::base::describe(*parse("power", "OFF")->command), "unit off");
  EXPECT_EQ(gw::base::describe(*parse("mode", "auto")->command), "unit on");
  for (const auto& [leaf, payload] : {std::pair{"temperature", "24.5"},
                                      {"temperature", "1e9"},
                                      {"humidity", ""},
                                      {"power", "maybe"},
                                      {"fan", "1"}}) {
    const auto refused = parse(leaf, payload);
    ASSERT_TRUE(refused) << leaf;
    EXPECT_FALSE(refused->command) << leaf << " " << payload;
    EXPECT_FALSE(refused->error.empty());
  }
  EXPECT_EQ(parse("temperature", "22.5")->error,
            "set/temperature: 22.5 is not a whole number (set points are whole degrees C)")
      << "the reason the socket and the command line give";
  EXPECT_EQ(parse("humidity", "warm")->error,
            "set/humidity: \"warm\" is not a number (set points are whole percent)");
  EXPECT_FALSE(gw::outputs::mqtt::parse_command(topics, "norvane/other/ac1/set/power", "ON"));
}

TEST(MqttMessages, DiscoveryAnnouncesEveryReadingAndAlarmAndTheClimateOnlyWithCommands) {
  const gw::outputs::mqtt::Topics topics{"norvane/gw1"};
  gw::outputs::mqtt::Discovery discovery{"homeassistant", "norvane-gw1", "1.0.0", false};
  const gw::outputs::mqtt::UnitEntities ac1{"ac1", "ac1", {}, {}};
  const auto announced = [&] {
    std::vector<gw::outputs::mqtt::Announcement> entities;
    for (const auto& announcement : gw::outputs::mqtt::unit_announcements(discovery, topics, ac1))
      if (!announcement.payload.empty()) entities.push_back(announcement);
    return entities;
  };
  const auto plain = announced();
  discovery.commands = true;
  const auto with_commands = announced();
  // The alarms of the four fault flags show as those flags' attributes.
  EXPECT_EQ(plain.size(), static_cast<size_t>(gw::readings::kWordReadingCount +
                                              gw::readings::kAlarmRowCount - 4));
  ASSERT_EQ(with_commands.size(), plain.size() + 1);
  const auto& climate = with_commands.back();
  EXPECT_EQ(climate.topic, "homeassistant/climate/norvane-gw1/ac1_climate/config");
  Json::Value json;
  ASSERT_TRUE(Json::Reader().parse(climate.payload, json));
  EXPECT_EQ(json["temperature_command_topic"], "norvane/gw1/ac1/set/temperature");
  EXPECT_EQ(json["mode_command_topic"], "norvane/gw1/ac1/set/mode");

  for (const auto& announcement : plain) {
    ASSERT_TRUE(Json::Reader().parse(announcement.payload, json)) << announcement.topic;
    const bool comm = announcement.topic.find("alarm_comm_lost") != std::string::npos;
    // The loss of communication shows while the unit is unavailable.
    EXPECT_EQ(json["availability"].size(), comm ? 1u : 2u) << announcement.topic;
    if (announcement.topic ==
        "homeassistant/sensor/norvane-gw1/ac1_return_air_temperature/config") {
      EXPECT_EQ(json["device_class"], "temperature");
      EXPECT_EQ(json["unit_of_measurement"],
                "\xC2\xB0"
                "C");
      EXPECT_EQ(json["value_template"], "{{ value_json.readings.return_air_temperature }}");
      EXPECT_EQ(json["state_topic"], "norvane/gw1/ac1/state");
    }
  }
  // Those of earlier releases too (the four alarm twins, five running states as text).
  EXPECT_EQ(gw::outputs::mqtt::unit_withdrawals(discovery, "ac1").size(),
            with_commands.size() + 4 + 5);
}

// A service whose state table and event stream the test fills itself.
class FakeService : public gw::state::ServiceApi {
 public:
  gw::state::ServiceInfo info() const override { return {"1.0.0", 42, "c.json"}; }
  gw::state::StateSnapshot status() const override { return table.snapshot(); }
  std::shared_ptr<gw::base::CommandTicket> command(const std::string&,
                                                   const gw::base::Command&) override {
    return nullptr;
  }
  std::chrono::milliseconds command_wait() const override { return 50ms; }
  gw::state::ReloadReport reload() override { return {}; }
  gw::state::EventStream& events() override { return stream; }

  gw::state::StateTable table;
  gw::state::EventStream stream;
};

TEST(Outputs, TakeEveryRoundAndServeScrapesWhileABusPublishes) {
  testproc::TempDir dir;
  FakeService service;
  gw::config::Config config;
  config.history = dir.file("absent.db");  // the page's events: none, said so
  config.outputs.http = gw::config::HttpConfig{};
  config.outputs.jsonl = gw::config::JsonlConfig{dir.file("rounds.jsonl")};
  gw::config::MqttConfig
      broker;  // nobody listens: it tries again and again, never holding anyone up
  broker.host = "127.0.0.1";
  broker.port = 9;
  config.outputs.mqtt = broker;
  gw::outputs::Outputs outputs(config, false, service);
  outputs.start();
  service.table.set_units("/dev/ttyS1", {unit_with_round("ac1", std::chrono::system_clock::now())});

  constexpr int kRounds = 300;
  std::thread bus([&] {
    for (int round = 1; round <= kRounds; ++round) {
      const auto now = std::chrono::system_clock::now();
      service.table.update_unit("ac1", [&](gw::state::UnitState& unit) {
        unit.last_round_at = now;
        unit.counters.completed = round;
      });
      if (round % 50 == 0) service.stream.publish(change("120800150010", round % 100 == 0));
      service.stream.publish(gw::state::RoundCompleted{
          "ac1", now, round, records::record(101, {{22, 240}}), "{}", {}});
      std::this_thread::sleep_for(1ms);
    }
  });
  httplib::Client client("http://" + outputs.http_address().value());
  int scrapes = 0;
  while (scrapes < 20) {
    const auto metrics = client.Get("/metrics");
    const auto page = client.Get("/api/status");
    ASSERT_TRUE(metrics && page);
    EXPECT_THAT(metrics->body, HasSubstr("norvane_rounds_completed_total{unit=\"ac1\"}"));
    EXPECT_THAT(page->body, HasSubstr("\"events_error\""));
    ++scrapes;
  }
  bus.join();
  service.stream.close();
  outputs.finish();

  std::ifstream lines(dir.file("rounds.jsonl"));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count)
    EXPECT_THAT(line, HasSubstr("\"round\":" + std::to_string(count + 1) + ","));
  EXPECT_EQ(count, kRounds) << "every round, in order";
}

// An error answer says what failed, never where: neither the history's
// path nor the chart library's reaches a client (the log names them).
TEST(Outputs, HttpErrorAnswersNameNoLocalPath) {
  testproc::TempDir dir;
  FakeService service;
  gw::config::Config config;
  config.history = dir.file("absent.db");
  config.outputs.http = gw::config::HttpConfig{};
  config.outputs.http->chart_js = dir.file("chart.min.js");  // not there
  gw::outputs::Outputs outputs(config, false, service);
  outputs.start();
  service.table.set_units("/dev/ttyS1", {unit_with_round("ac1", std::chrono::system_clock::now())});
  httplib::Client client("http://" + outputs.http_address().value());
  for (const auto& [path, status] :
       std::vector<std::pair<std::string, int>>{{"/api/status", 200},
                                                {"/api/events", 503},
                                                {"/api/series?unit=ac1", 503},
                                                {"/chart.js", 404}}) {
    const auto answer = client.Get(path);
    ASSERT_TRUE(answer) << path;
    EXPECT_EQ(answer->status, status) << path;
    EXPECT_THAT(answer->body, Not(HasSubstr(dir.path()))) << path;
    EXPECT_THAT(answer->body, HasSubstr(path == "/chart.js" ? "the chart library is not installed"
                                                            : "the history cannot be read"))
        << path;
  }
  service.stream.close();
  outputs.finish();
}

}  // namespace
