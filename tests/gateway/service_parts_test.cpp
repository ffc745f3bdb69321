// The service's parts in process: the control protocol against a fake
// service, the event stream, and the bus's thread driving the simulated
// unit while other threads send commands and read the state, on one bus
// and on two (these are for ThreadSanitizer too).
#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "gateway/bus/bus_set.h"
#include "gateway/bus/bus_worker.h"
#include "gateway/control/protocol.h"
#include "gateway/devices/plugin.h"
#include "tests/support/process.h"

namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;

class FakeService : public gw::state::ServiceApi {
 public:
  gw::state::ServiceInfo info() const override {
    return {"1.0.0", 42, "/etc/norvane/gateway.json"};
  }
  gw::state::StateSnapshot status() const override {
    gw::state::StateSnapshot snapshot;
    snapshot.units.emplace_back().name = "ac1";
    return snapshot;
  }
  std::shared_ptr<gw::base::CommandTicket> command(const std::string& unit,
                                                   const gw::base::Command& command) override {
    if (unit != "ac1") return nullptr;
    last = std::make_shared<gw::base::CommandTicket>(unit, command);
    return last;  // left waiting: no bus carries it out
  }
  milliseconds command_wait() const override { return milliseconds(50); }
  gw::state::ReloadReport reload() override { return {}; }
  gw::state::EventStream& events() override { return stream; }

  std::shared_ptr<gw::base::CommandTicket> last;
  gw::state::EventStream stream;
};

Json::Value reply_to(const std::string& line, gw::state::ServiceApi& api) {
  Json::Value reply;
  EXPECT_TRUE(Json::Reader().parse(gw::control::handle_request(line, api).reply, reply));
  return reply;
}

TEST(ControlProtocol, AnswersEveryMalformedRequestWithWhatIsWrong) {
  FakeService service;
  const struct {
    const char* request;
    const char* error;
  } cases[] = {
      {"status please", "not valid JSON"},
      {"[\"status\"]", "a request is a JSON object"},
      {R"({"request": "dance"})", "unknown request \"dance\""},
      {R"({"request": "readings"})", "\"unit\" must be a non-empty string"},
      {R"({"request": "readings", "unit": "ac9"})", "no unit named ac9"},
      {R"({"request": "command", "unit": "ac1", "command": "cool"})", "\"command\" must be"},
      {R"({"request": "command", "unit": "ac1", "command": "set_temperature", "value": 1000})",
       "set_temperature: 1000 is not in range -999 to 999"},
      {R"({"request": "command", "unit": "ac1", "command": "set_humidity", "value": 45.5})",
       "set_humidity: 45.5 is not a whole number (set points are whole percent)"},
      {R"({"request": "command", "unit": "ac1", "command": "set_humidity", "value": "45"})",
       "set_humidity needs \"value\", a whole number from -999 to 999"},
      {R"({"request": "command", "unit": "ac1", "command": "unit_on", "value": 1})",
       "unit_on takes no \"value\""},
      {R"({"request": "command", "unit": "ac1", "command": "unit_on", "timeout_s": 0})",
       "\"timeout_s\" must be"},
      {R"({"request": "command", "unit": "ac9", "command": "unit_on"})", "no unit named ac9"},
      {R"({"request": "status", "request": "status"})", "not valid JSON"},
  };
  for (const auto& c : cases) {
    const Json::Value reply = reply_to(c.request, service);
    EXPECT_FALSE(reply["ok"].asBool()) << c.request;
    EXPECT_THAT(reply["error"].asString(), HasSubstr(c.error)) << c.request;
  }
  EXPECT_FALSE(service.last) << "no command was queued";
  const Json::Value tagged = reply_to(R"({"request": "status", "id": [7]})", service);
  EXPECT_TRUE(tagged["ok"].asBool());
  EXPECT_EQ(tagged["id"][0], 7) << "the id comes back";
}

TEST(ControlProtocol, ACommandNotBegunWithinItsBoundIsWithdrawnAndNeverCarriedOut) {
  FakeService service;
  const Json::Value reply = reply_to(
      R"({"request": "command", "unit": "ac1", "command": "set_temperature", "value": 26,
          "timeout_s": 0.1})",
      service);
  EXPECT_TRUE(reply["ok"].asBool());
  EXPECT_EQ(reply["command"], "set temperature 26");
  EXPECT_EQ(reply["outcome"], "timeout");
  EXPECT_FALSE(reply["done"].asBool());
  EXPECT_THAT(reply["detail"].asString(), HasSubstr("not carried out within 0.1 s; withdrawn"));
  ASSERT_TRUE(service.last);
  EXPECT_FALSE(service.last->begin()) << "the bus skips a withdrawn command";
}

TEST(EventStream, ASlowSubscriberLosesItsOldestEventsWithoutHoldingUpThePublisher) {
  gw::state::EventStream stream;
  auto slow = stream.subscribe(3);
  auto ample = stream.subscribe(100);
  for (long round = 1; round <= 5; ++round)
    stream.publish(gw::state::RoundCompleted{"ac1", {}, round, {}, {}, {}});
  auto round_of = [](const std::optional<gw::state::Event>& event) {
    return event ? std::get<gw::state::RoundCompleted>(*event).round : -1;
  };
  for (long round : {3, 4, 5}) EXPECT_EQ(round_of(slow->next(milliseconds(0))), round);
  EXPECT_EQ(slow->dropped(), 2);
  for (long round = 1; round <= 5; ++round)
    EXPECT_EQ(round_of(ample->next(milliseconds(0))), round);
  EXPECT_EQ(ample->dropped(), 0);
  stream.close();
  EXPECT_FALSE(ample->next(milliseconds(10000))) << "a closed stream wakes its readers at once";
}

TEST(StateTable, ABusThatReplacesItsRowsKeepsItsPlaceAmongTheBuses) {
  gw::state::StateTable table;
  auto row = [](const char* name, const char* port) {
    gw::state::UnitState unit;
    unit.name = name;
    unit.port = port;
    return unit;
  };
  table.set_units("/dev/ttyS1", {row("a1", "/dev/ttyS1"), row("a2", "/dev/ttyS1")});
  table.set_units("/dev/ttyS2", {row("b1", "/dev/ttyS2")});
  table.set_units("/dev/ttyS1", {row("a2", "/dev/ttyS1"), row("a3", "/dev/ttyS1")});
  std::vector<std::string> names;
  for (const gw::state::UnitState& unit : table.snapshot().units) names.push_back(unit.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a2", "a3", "b1"}));
}

// The bus's thread against the simulated unit, with clients and readers on
// threads of their own.
class BusThread : public ::testing::Test {
 protected:
  void SetUp() override {
    unit_ = std::make_unique<testproc::Process>(std::vector<std::string>{NORVANE_SIM});
    const auto line = unit_->next_line("pty ");
    ASSERT_TRUE(line) << unit_->err();
    bus_.port = line->substr(4);
    bus_.response_timeout_ms = 400;
  }

  testproc::TempDir dir_;
  std::unique_ptr<testproc::Process> unit_;
  gw::config::BusSettings bus_;
};

TEST_F(BusThread, CarriesOutCommandsFromSeveralClientsWhileReadersWatch) {
  gw::config::UnitConfig config;
  config.name = "ac1";
  config.data_id = 101;
  gw::devices::Plugin plugin(NORVANE_PLUGIN_PATH);
  gw::history::HistoryWriter history(dir_.file("history.db"), gw::config::HistoryOptions{});
  history.start();
  gw::state::StateTable table;
  gw::state::EventStream stream;
  gw::devices::Host host(plugin, history, table, stream);
  gw::bus::BusOptions options;
  options.interval_s = 0;
  gw::bus::BusWorker worker(std::make_unique<gw::line::RtuLink>(bus_), {config}, host, table,
                            stream, options);
  auto events = stream.subscribe(10000);
  worker.start();

  constexpr int kClients = 3, kCommands = 4;
  std::atomic<int> done{0};
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    while (!finished) {
      const gw::state::StateSnapshot snapshot = table.snapshot();
      ASSERT_EQ(snapshot.units.size(), 1u);
      EXPECT_LE(snapshot.units[0].counters.completed, snapshot.units[0].counters.rounds);
    }
  });
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client)
    clients.emplace_back([&, client] {
      for (int i = 0; i < kCommands; ++i) {
        const gw::base::Command command{gw::base::CommandKind::kSetTemperature, 20 + client};
        const auto ticket = worker.submit("ac1", command);
        done += ticket->wait(milliseconds(20000)).outcome == gw::base::CommandOutcome::kDone;
      }
    });
  for (std::thread& client : clients) client.join();
  finished = true;
  reader.join();
  worker.stop();
  worker.join();

  EXPECT_EQ(done, kClients * kCommands);
  const gw::state::UnitState row = *table.unit("ac1");
  EXPECT_EQ(row.counters.commands, kClients * kCommands);
  EXPECT_EQ(row.commands_waiting, 0);
  int finished_commands = 0;
  while (const auto event = events->next(milliseconds(0)))
    finished_commands += std::holds_alternative<gw::state::CommandFinished>(*event);
  EXPECT_EQ(finished_commands, kClients * kCommands);
  EXPECT_EQ(history.record_count("ac1", 101, milliseconds(5000)), row.counters.completed);
}

// Two buses, each its own thread, line and simulated unit, sharing the
// host, the history's writer, the table and the stream.
class TwoBuses : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* slaves : {"1-2", "1"}) {
      units_.push_back(std::make_unique<testproc::Process>(
          std::vector<std::string>{NORVANE_SIM, "--slaves", slaves}));
      const auto line = units_.back()->next_line("pty ");
      ASSERT_TRUE(line) << units_.back()->err();
      gw::config::BusSettings bus;
      bus.port = line->substr(4);
      bus.response_timeout_ms = 400;
      ports_.push_back(bus.port);
      gw::bus::BusOptions options;
      options.interval_s = 0;
      buses_.add(std::make_unique<gw::bus::BusWorker>(
          std::make_unique<gw::line::RtuLink>(bus),
          std::vector<gw::config::UnitConfig>{unit(units_.size())}, host_, table_, stream_,
          options));
    }
  }

  // "acN", data id 100 + N, at slave 1.
  static gw::config::UnitConfig unit(size_t number) {
    gw::config::UnitConfig config;
    config.name = "ac" + std::to_string(number);
    config.data_id = 100 + static_cast<int>(number);
    return config;
  }
  int port_of(const std::string& name) const {
    const auto row = table_.unit(name);
    for (size_t i = 0; row && i < ports_.size(); ++i)
      if (ports_[i] == row->port) return static_cast<int>(i);
    return -1;
  }

  testproc::TempDir dir_;
  std::vector<std::unique_ptr<testproc::Process>> units_;
  std::vector<std::string> ports_;
  gw::devices::Plugin plugin_{NORVANE_PLUGIN_PATH};
  gw::history::HistoryWriter history_{dir_.file("history.db"), gw::config::HistoryOptions{}};
  gw::state::StateTable table_;
  gw::state::EventStream stream_;
  gw::devices::Host host_{plugin_, history_, table_, stream_};
  gw::bus::BusSet buses_;  // the last: its threads stop before the rest goes
};

TEST_F(TwoBuses, CommandsGoToEachUnitsBusAndAUnitMovesBetweenBusesOnAReload) {
  history_.start();
  buses_.start();
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    while (!finished)
      for (const gw::state::UnitState& row : table_.snapshot().units)
        EXPECT_LE(row.counters.completed, row.counters.rounds);
  });
  std::vector<std::thread> clients;
  std::atomic<int> done{0};
  for (const char* name : {"ac1", "ac2", "ac1", "ac2"})
    clients.emplace_back([&, name] {
      for (int i = 0; i < 3; ++i) {
        const auto ticket = buses_.submit(name, {gw::base::CommandKind::kSetTemperature, 20 + i});
        done += ticket->wait(milliseconds(20000)).outcome == gw::base::CommandOutcome::kDone;
      }
    });
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(done, 12);
  EXPECT_EQ(buses_.submit("ac3", {gw::base::CommandKind::kUnitOn, 0}), nullptr);
  for (size_t bus = 0; bus < 2; ++bus) {
    EXPECT_EQ(port_of("ac" + std::to_string(bus + 1)), static_cast<int>(bus));
    EXPECT_TRUE(units_[bus]->next_line("write slave 1 register 1 <- 220")) << "bus " << bus;
  }

  // ac2 moves to the first bus, at slave 2; the second bus keeps none.
  gw::config::UnitConfig moved = unit(2);
  moved.slave = 2;
  std::vector<gw::bus::BusReload> changes(2);
  changes[0].units = {unit(1), moved};
  const auto result = buses_.reload(changes, milliseconds(20000), milliseconds(20000));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->set_up_again, std::vector<std::string>{"ac2"});
  EXPECT_EQ(result->unchanged, std::vector<std::string>{"ac1"});
  EXPECT_TRUE(result->added.empty() && result->removed.empty());
  EXPECT_EQ(port_of("ac2"), 0);
  EXPECT_EQ(table_.snapshot().units.size(), 2u) << "one row a unit";
  const auto ticket = buses_.submit("ac2", {gw::base::CommandKind::kSetTemperature, 25});
  EXPECT_EQ(ticket->wait(milliseconds(20000)).outcome, gw::base::CommandOutcome::kDone);
  EXPECT_TRUE(units_[0]->next_line("write slave 2 register 1 <- 250"));
  finished = true;
  reader.join();
  buses_.stop();
  buses_.join();
  EXPECT_TRUE(buses_.errors().empty());
  for (const char* name : {"ac1", "ac2"})
    EXPECT_EQ(history_.record_count(name, 100 + (name[2] - '0'), milliseconds(5000)),
              table_.unit(name)->counters.completed)
        << name << ": one writer took the records of both buses";
}

}  // namespace
