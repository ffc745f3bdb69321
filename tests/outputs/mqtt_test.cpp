// MQTT against a real broker: a mosquitto of the test's own on 127.0.0.1
// and a free port, stopped and started again in the middle. No alarm event
// is lost, they come in order, and the retained state is the newest; a
// command from the broker is carried out through the command queue and its
// outcome published; Home Assistant's discovery announces every entity.
#include <iconv.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mosquitto.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

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

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The test's own broker, keeping its sessions across a restart.
class Broker {
 public:
  explicit Broker(const testproc::TempDir& dir)
      : port_(free_port()), conf_(dir.file("broker.conf")) {
    const passwd* user = ::getpwuid(::getuid());
    dir.write("broker.conf", "listener " + std::to_string(port_) +
                                 " 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                 "persistence_location " +
                                 dir.path() + "/\nlog_dest stderr\n" + "user " +
                                 (user != nullptr ? user->pw_name : "root") + "\n");
  }
  void start() {
    process_ =
        std::make_unique<Process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", conf_});
    ASSERT_TRUE(process_->next_line(" running", Process::kErr))
        << process_->out() << process_->err();
  }
  void stop() {
    process_->signal(SIGTERM);
    EXPECT_EQ(process_->wait_exit(), 0) << process_->out();
  }
  int port() const { return port_; }

 private:
  int port_;
  std::string conf_;
  std::unique_ptr<Process> process_;
};

// A subscriber whose session outlives its connections and the broker's
// restarts (clean session off, QoS 1): it keeps every message in order.
class Subscriber {
 public:
  Subscriber(int port, const std::string& id, std::vector<std::string> topics, bool clean = false)
      : topics_(std::move(topics)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(id.c_str(), clean, this);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int code) {
      if (code != 0) return;
      for (const std::string& topic : static_cast<Subscriber*>(self)->topics_)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed_ = true;
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto& subscriber = *static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(subscriber.mutex_);
      subscriber.messages_.emplace_back(
          m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen));
    });
    EXPECT_EQ(mosquitto_connect(client_, "127.0.0.1", port, 60), MOSQ_ERR_SUCCESS);
    mosquitto_loop_start(client_);
    EXPECT_TRUE(eventually([&] { return subscribed_.load(); }));
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
  }
  // The payloads of `topic` so far.
  std::vector<std::string> payloads(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> payloads;
    for (const auto& [t, payload] : messages_)
      if (t == topic) payloads.push_back(payload);
    return payloads;
  }
  size_t count_starting(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(messages_.begin(), messages_.end(),
                         [&](const auto& m) { return m.first.rfind(prefix, 0) == 0; });
  }

 private:
  std::vector<std::string> topics_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> subscribed_{false};
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> messages_;
};

Json::Value parsed(const std::string& text) {
  Json::Value value;
  EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
  return value;
}

// A retained message as an independent client gets it: mosquitto_sub.
std::string retained(int port, const std::string& topic) {
  Process sub({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic,
               "-C", "1", "-W", "5"});
  sub.wait_exit();
  std::string out = sub.out();
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class GatewayMqtt : public harness::GatewayTest {
 protected:
  void write_config_for(int broker_port, bool commands) {
    Json::Value config = parsed(harness::config_text());
    config["interval_s"] = 0.1;
    Json::Value& mqtt = config["mqtt"];
    mqtt["host"] = "127.0.0.1";
    mqtt["port"] = broker_port;
    mqtt["base_topic"] = "norvane/test";
    mqtt["client_id"] = "norvane-test-gateway";
    mqtt["commands"] = commands;
    Json::Value& limits = config["units"][0]["setpoint_limits"]["temperature"];
    limits.append(17.5);  // Home Assistant offers whole degrees: 18 upwards
    limits.append(27);
    config["bus"]["response_timeout_ms"] = 100;  // a silent unit is not answering within 0.5 s
    config["bus"]["retries"] = 0;
    write_config(Json::FastWriter().write(config));
  }
};

TEST_F(GatewayMqtt, NoAlarmEventIsLostWhileTheBrokerRestartsAndTheRetainedStateIsTheNewest) {
  Broker broker(dir);
  broker.start();
  Subscriber subscriber(broker.port(), "norvane-test-subscriber", {"norvane/test/ac1/alarm"});
  std::string scenario;
  for (int i = 0; i < 8; ++i)
    scenario += std::to_string(i + 0.5) + " floor_water " + (i % 2 == 0 ? "on" : "off") + "\n";
  dir.write("scenario.txt", scenario);
  start_unit({"--scenario", dir.file("scenario.txt")});
  write_config_for(broker.port(), false);
  auto gateway = start_gateway({});
  ASSERT_TRUE(eventually([&] { return !subscriber.payloads("norvane/test/ac1/alarm").empty(); }));

  broker.stop();  // the gateway's events wait meanwhile
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  broker.start();
  ASSERT_TRUE(gateway->next_line("lost", Process::kErr));
  EXPECT_TRUE(eventually([&] { return events().size() >= 8; }));
  EXPECT_TRUE(eventually(
      [&] { return subscriber.payloads("norvane/test/ac1/alarm").size() >= events().size(); }));
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  EXPECT_THAT(gateway->err(), HasSubstr("connected to 127.0.0.1:" + std::to_string(broker.port())));

  // Every stored event, once and in order (QoS 1 may deliver one twice).
  std::vector<std::string> received;
  std::set<std::string> seen;
  for (const std::string& payload : subscriber.payloads("norvane/test/ac1/alarm")) {
    if (!seen.insert(payload).second) continue;
    const Json::Value event = parsed(payload);
    received.push_back(event["signal_id"].asString() + " " + event["state"].asString() + " " +
                       event["title"].asString());
  }
  std::vector<std::string> stored;
  for (const auto& event : events())
    stored.push_back(event.signal_id + " " + event.state + " Water on the floor");
  EXPECT_EQ(received, stored);

  const harness::Summary summary = harness::summary_of(gateway->out(), "ac1");
  const Json::Value state = parsed(retained(broker.port(), "norvane/test/ac1/state"));
  EXPECT_EQ(state["round"].asInt64(), summary.completed) << "the newest state is retained";
  EXPECT_EQ(state["readings"]["set_temperature"], 24.0);
  EXPECT_EQ(retained(broker.port(), "norvane/test/status"), "offline");
  EXPECT_EQ(retained(broker.port(), "norvane/test/ac1/availability"), "offline");
  broker.stop();
}

TEST_F(GatewayMqtt, CommandsFromTheBrokerAreCarriedOutAndTheirOutcomesPublished) {
  Broker broker(dir);
  broker.start();
  start_unit();
  write_config_for(broker.port(), true);
  auto gateway = start_gateway({});
  Subscriber subscriber(broker.port(), "norvane-test-commands",
                        {"norvane/test/ac1/command", "norvane/test/ac1/alarms", "homeassistant/#"},
                        true);
  // 44 readings, 9 alarms (comm_lost among them), the climate entity.
  EXPECT_TRUE(eventually([&] { return subscriber.count_starting("homeassistant/") >= 54; }));
  const auto climate =
      subscriber.payloads("homeassistant/climate/norvane-test-gateway/ac1_climate/config");
  ASSERT_EQ(climate.size(), 1u);
  EXPECT_EQ(parsed(climate[0])["min_temp"], 18) << "the unit's set-point limits, whole degrees";
  EXPECT_EQ(parsed(climate[0])["max_temp"], 27);
  EXPECT_EQ(parsed(climate[0])["min_humidity"], 30);
  EXPECT_EQ(parsed(climate[0])["max_humidity"], 80);

  const auto publish = [&](const std::string& leaf, const std::string& payload) {
    Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                 "-q", "1", "-t", "norvane/test/ac1/set/" + leaf, "-m", payload});
    EXPECT_EQ(pub.wait_exit(), 0);
  };
  publish("temperature", "26.0");
  EXPECT_TRUE(unit->next_line("write slave 1 register 1 <- 260"));
  publish("temperature", "hot");
  publish("mode", "off");
  EXPECT_TRUE(unit->next_line("write slave 1 register 13 <- 85"));
  publish("temperature", "30");
  ASSERT_TRUE(
      eventually([&] { return subscriber.payloads("norvane/test/ac1/command").size() >= 4; }));
  const auto outcomes = subscriber.payloads("norvane/test/ac1/command");
  EXPECT_EQ(parsed(outcomes[0])["command"], "set temperature 26");
  EXPECT_EQ(parsed(outcomes[0])["outcome"], "done");
  EXPECT_EQ(parsed(outcomes[1])["outcome"], "refused");
  EXPECT_EQ(parsed(outcomes[1])["detail"].asString(),
            "set/temperature: \"hot\" is not a number (set points are whole degrees C)");
  EXPECT_EQ(parsed(outcomes[2])["command"], "unit off");
  EXPECT_EQ(parsed(outcomes[2])["outcome"], "done");
  EXPECT_EQ(parsed(outcomes[3])["command"], "set temperature 30");
  EXPECT_EQ(parsed(outcomes[3])["outcome"], "refused: outside the limits");
  EXPECT_EQ(parsed(outcomes[3])["detail"], "17.5 to 27 C");

  // The comm-loss sensor reads the unit's active alarms and stays available
  // while the unit is not (its connectivity goes off when comm_lost is there).
  const auto comm_sensor = subscriber.payloads(
      "homeassistant/binary_sensor/norvane-test-gateway/ac1_alarm_comm_lost/config");
  ASSERT_EQ(comm_sensor.size(), 1u);
  EXPECT_EQ(parsed(comm_sensor[0])["state_topic"], "norvane/test/ac1/alarms");
  EXPECT_EQ(parsed(comm_sensor[0])["device_class"], "connectivity");
  EXPECT_EQ(parsed(comm_sensor[0])["availability"].size(), 1u) << "the gateway's status only";
  unit->signal(SIGUSR1);
  EXPECT_TRUE(eventually([&] {
    const auto alarms = subscriber.payloads("norvane/test/ac1/alarms");
    return !alarms.empty() &&
           alarms.back().find("\"signal_id\":\"comm_lost\"") != std::string::npos;
  }));
  EXPECT_EQ(subscriber.payloads("norvane/test/ac1/command").size(), 4u) << "each outcome once";
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
  broker.stop();
}

// A notification program gets descriptors 0 to 2 and nothing else of the
// gateway's, not its live connection to the broker nor the client
// library's socket pair: it lists its own.
TEST_F(GatewayMqtt, ANotificationProgramFindsOnlyItsStandardDescriptorsOpen) {
  Broker broker(dir);
  broker.start();
  dir.write("scenario.txt", "0.5 floor_water on\n");
  start_unit({"--scenario", dir.file("scenario.txt")});
  dir.write("list-descriptors",
            "#!/usr/bin/python3\nimport os, sys\nfound = []\n"
            "for name in sorted(os.listdir('/proc/self/fd'), key=int):\n"
            "    try:\n        found.append(name + ' ' + os.readlink('/proc/self/fd/' + name))\n"
            "    except FileNotFoundError:\n        pass  # the listing's own, closed by now\n"
            "open(sys.argv[1], 'w').write('\\n'.join(found) + '\\n')\n");
  ASSERT_EQ(::chmod(dir.file("list-descriptors").c_str(), 0755), 0);
  write_config_for(broker.port(), true);
  Json::Value config = parsed(file_text(dir.file("config.json")));
  config["notify"]["exec"].append(dir.file("list-descriptors"));
  config["notify"]["exec"].append(dir.file("descriptors.txt"));
  write_config(Json::FastWriter().write(config));
  auto gateway = start_gateway({});
  ASSERT_TRUE(gateway->next_line("connected to 127.0.0.1", Process::kErr)) << gateway->err();
  ASSERT_TRUE(gateway->next_line("notify ac1 raised", Process::kErr)) << gateway->err();
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  broker.stop();

  std::ifstream listed(dir.file("descriptors.txt"));
  std::vector<std::string> descriptors;
  for (std::string line; std::getline(listed, line);) descriptors.push_back(line);
  ASSERT_EQ(descriptors.size(), 3u) << ::testing::PrintToString(descriptors);
  EXPECT_EQ(descriptors[0], "0 /dev/null");
  EXPECT_THAT(descriptors[1], ::testing::StartsWith("1 pipe:["));
  EXPECT_EQ(descriptors[2], "2" + descriptors[1].substr(1)) << "one pipe for both";
}

// A TLS file that cannot be read stops the start, named: the client library
// would say only "Invalid function arguments provided" at every try.
TEST_F(GatewayMqtt, AMissingTlsFileIsRefusedAtStartNamingTheFieldAndTheFile) {
  start_unit();
  write_config_for(1883, false);
  Json::Value config = parsed(file_text(dir.file("config.json")));
  config["mqtt"]["tls"]["ca_file"] = "missing-ca.pem";  // beside the configuration
  write_config(Json::FastWriter().write(config));
  const Finished run = run_gateway({"--rounds", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("mqtt.tls.ca_file " + dir.file("missing-ca.pem") +
                                 ": cannot be read: No such file or directory"));
  EXPECT_THAT(run.out, Not(HasSubstr("summary"))) << "nothing polled";
}

// A password file that others can read is named at start; one readable by
// the gateway's own group only is not.
TEST_F(GatewayMqtt, APasswordFileReadableByOthersIsNamedAtStart) {
  start_unit();
  write_config_for(free_port(), false);  // no broker there: the start is what counts
  Json::Value config = parsed(file_text(dir.file("config.json")));
  config["mqtt"]["username"] = "gw";
  config["mqtt"]["password_file"] = "mqtt.password";  // beside the configuration
  write_config(Json::FastWriter().write(config));
  dir.write("mqtt.password", "secret\n");
  const std::string warning =
      "mqtt.password_file " + dir.file("mqtt.password") + ": readable by others (mode 0644)";
  ASSERT_EQ(::chmod(dir.file("mqtt.password").c_str(), 0640), 0);
  const Finished own_group = run_gateway({"--rounds", "1"});
  EXPECT_EQ(own_group.status, 0) << own_group.err;
  EXPECT_THAT(own_group.err, Not(HasSubstr("readable by others")));
  ASSERT_EQ(::chmod(dir.file("mqtt.password").c_str(), 0644), 0);
  const Finished everyone = run_gateway({"--rounds", "1"});
  EXPECT_EQ(everyone.status, 0) << everyone.err;
  EXPECT_THAT(everyone.err, HasSubstr(warning));
}

// Whether `text` is UTF-8, by the C library's own converter.
bool is_utf8(const std::string& text) {
  iconv_t converter = ::iconv_open("UTF-32LE", "UTF-8");
  std::string in = text;
  std::string out(text.size() * 4 + 4, '\0');
  char* from = in.data();
  char* to = out.data();
  size_t from_left = in.size(), to_left = out.size();
  const bool converted =
      ::iconv(converter, &from, &from_left, &to, &to_left) != static_cast<size_t>(-1);
  ::iconv_close(converter);
  return converted && from_left == 0;
}

TEST_F(GatewayMqtt, ARefusedCommandWhosePayloadIsNotUtf8PublishesValidUtf8Json) {
  Broker broker(dir);
  broker.start();
  start_unit();
  write_config_for(broker.port(), true);
  auto gateway = start_gateway({});
  Subscriber subscriber(broker.port(), "norvane-test-bytes",
                        {"norvane/test/ac1/command", "norvane/test/ac1/state"}, true);
  // Its state published: connected, and subscribed to the commands before.
  ASSERT_TRUE(eventually([&] { return !subscriber.payloads("norvane/test/ac1/state").empty(); }));
  // A byte that starts no character, then a cut that would fall inside
  // the two-byte "\xC3\xA9" at bytes 32 and 33.
  const std::string payload = "\xFF" + std::string(30, '1') + "\xC3\xA9\xC3\xA9";
  Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
               "-q", "1", "-t", "norvane/test/ac1/set/temperature", "-m", payload});
  EXPECT_EQ(pub.wait_exit(), 0);
  ASSERT_TRUE(eventually([&] { return !subscriber.payloads("norvane/test/ac1/command").empty(); }));
  const std::string published = subscriber.payloads("norvane/test/ac1/command")[0];
  EXPECT_TRUE(is_utf8(published)) << published;
  const Json::Value outcome = parsed(published);
  EXPECT_EQ(outcome["outcome"], "refused");
  // U+FFFD for the stray byte and as many whole characters as fit in 32 bytes.
  EXPECT_EQ(outcome["detail"].asString(),
            "set/temperature: \"\xEF\xBF\xBD" + std::string(29, '1') +
                "\" is not a number (set points are whole degrees C)");
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
}

}  // namespace
