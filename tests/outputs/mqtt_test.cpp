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

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <json/json.h>

#include "tests/gateway/harness.h"

namespace {

using harness::eventually;
using harness::Finished;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
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
  // The topics that messages came on, each once.
  std::set<std::string> topics() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::string> topics;
    for (const auto& [topic, payload] : messages_) topics.insert(topic);
    return topics;
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
  // The unit's availability is not retained ("offline" went out live).
  EXPECT_EQ(retained(broker.port(), "norvane/test/ac1/availability"), "");
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
  // The gateway's status; 44 readings, 5 alarms (comm_lost among them), the
  // climate entity; 9 entities of earlier releases withdrawn.
  EXPECT_TRUE(eventually([&] { return subscriber.count_starting("homeassistant/") >= 60; }));
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

// A retained message left as an earlier release left it.
void retain(int port, const std::string& topic, const std::string& payload) {
  Process pub({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1",
               "-r", "-t", topic, "-m", payload});
  EXPECT_EQ(pub.wait_exit(), 0);
}

// Every retained message under `filter`, "TOPIC PAYLOAD" a line.
std::vector<std::string> all_retained(int port, const std::string& filter) {
  Process sub({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
               filter, "-v", "--retained-only", "-W", "2"});
  sub.wait_exit();
  std::vector<std::string> lines;
  std::istringstream out(sub.out());
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

bool is_one_of(const Json::Value& value, const std::set<std::string>& allowed) {
  return value.isString() && allowed.count(value.asString()) != 0;
}

// What Home Assistant's current discovery schema takes of one config
// message, as its integration validates it: the faults it would drop the
// entity for, or ignore without a word.
std::vector<std::string> schema_faults(const std::string& topic, const Json::Value& json) {
  std::vector<std::string> faults;
  const auto fault = [&](const std::string& what) { faults.push_back(topic + ": " + what); };
  std::smatch parts;
  static const std::regex kTopic(
      "homeassistant/(sensor|binary_sensor|climate)/[a-zA-Z0-9_-]+/[a-zA-Z0-9_-]+/config");
  if (!std::regex_match(topic, parts, kTopic)) {
    fault("not a discovery topic of ids over [a-zA-Z0-9_-]");
    return faults;
  }
  const std::string component = parts[1];
  if (!json["unique_id"].isString() || json["unique_id"].asString().empty()) fault("no unique_id");
  static const std::regex kEntityId("([a-z_]+)\\.([a-z0-9]+(_[a-z0-9]+)*)");
  std::smatch entity;
  const std::string entity_id = json["default_entity_id"].asString();
  if (!std::regex_match(entity_id, entity, kEntityId) || entity[1] != component)
    fault("default_entity_id \"" + entity_id + "\" is no entity id of its domain");
  else if (json["object_id"].asString() != entity[2].str())
    fault("object_id (older releases) gives another entity id than default_entity_id");
  if (!json["device"]["identifiers"].isArray() || json["device"]["identifiers"].empty())
    fault("a device without identifiers");
  for (const Json::Value& entry : json["availability"])
    if (!entry["topic"].isString()) fault("an availability without a topic");
  if (json.isMember("availability_mode") &&
      !is_one_of(json["availability_mode"], {"all", "any", "latest"}))
    fault("availability_mode");
  if (json.isMember("json_attributes_template") && !json.isMember("json_attributes_topic"))
    fault("attributes without their topic");
  const Json::Value& device_class = json["device_class"];
  const std::string unit = json["unit_of_measurement"].asString();
  if (component == "sensor") {
    if (device_class == "temperature" && unit !=
                                             "\xC2\xB0"
                                             "C")
      fault("temperature not in C");
    if (device_class == "humidity" && unit != "%") fault("humidity not in %");
    if (device_class == "duration" && unit != "s") fault("duration not in s");
    if (json.isMember("options") && device_class != "enum") fault("options without enum");
    if (json.isMember("state_class") &&
        !is_one_of(json["state_class"], {"measurement", "total", "total_increasing"}))
      fault("state_class");
  }
  if (component == "binary_sensor" &&
      !is_one_of(device_class, {"running", "problem", "connectivity"}))
    fault("binary sensor class " + device_class.asString());
  if (component == "climate") {
    const double precision = json["precision"].asDouble();
    if (precision != 0.1 && precision != 0.5 && precision != 1.0) fault("precision");
    if (!(json["min_temp"].asDouble() <= json["max_temp"].asDouble())) fault("min_temp > max_temp");
    if (!(json["min_humidity"].asDouble() >= 0 &&
          json["min_humidity"].asDouble() < json["max_humidity"].asDouble() &&
          json["max_humidity"].asDouble() <= 100))
      fault("humidity range");
  }
  return faults;
}

// Every discovery message as Home Assistant's current schema reads it; one
// entity for each condition; the gateway announced as the device that the
// units name as via_device; the unit's title as its device's name; and
// the entities of an earlier release that this one replaced withdrawn.
TEST_F(GatewayMqtt, HomeAssistantTakesEveryDiscoveryMessageAsItsCurrentSchemaReadsIt) {
  Broker broker(dir);
  broker.start();
  // As an earlier release left them: an alarm twin and a running state as text.
  const std::string twin =
      "homeassistant/binary_sensor/norvane-test-gateway/ac1_alarm_120800150010/config";
  const std::string text_state = "homeassistant/sensor/norvane-test-gateway/ac1_compressor/config";
  retain(broker.port(), twin, "{\"name\": \"Alarm: Water on the floor\"}");
  retain(broker.port(), text_state, "{\"name\": \"Compressor running\"}");
  Subscriber subscriber(broker.port(), "norvane-test-discovery", {"homeassistant/#"}, true);
  start_unit();
  write_config_for(broker.port(), true);
  Json::Value config = parsed(file_text(dir.file("config.json")));
  const std::string title = "Salle serveurs \xE2\x80\x93 Nord \xE2\x9D\x84";  // en dash, snowflake
  config["units"][0]["title"] = title;
  config["units"][0]["setpoint_limits"]["humidity"].append(30.5);
  config["units"][0]["setpoint_limits"]["humidity"].append(79.5);
  write_config(Json::FastWriter().write(config));
  auto gateway = start_gateway({});

  std::map<std::string, std::string> last;  // by topic: what Home Assistant ends with
  const std::string climate_topic = "homeassistant/climate/norvane-test-gateway/ac1_climate/config";
  ASSERT_TRUE(eventually([&] {
    for (const auto& topic : {climate_topic, twin, text_state}) {
      const auto payloads = subscriber.payloads(topic);
      if (payloads.empty()) return false;
      last[topic] = payloads.back();
    }
    // 51 entities and the 9 of an earlier release, withdrawn.
    return !last[climate_topic].empty() && last[twin].empty() && last[text_state].empty() &&
           subscriber.topics().size() >= 60;
  })) << "the replaced entities withdrawn";
  gateway->signal(SIGTERM);
  ASSERT_EQ(gateway->wait_exit(), 0) << gateway->err();
  broker.stop();

  std::map<std::string, Json::Value> entities;  // by default_entity_id
  std::set<std::string> devices, linked;
  std::vector<std::string> faults;
  for (const std::string& topic : subscriber.topics()) {
    const std::string payload = subscriber.payloads(topic).back();
    if (payload.empty()) continue;
    const Json::Value json = parsed(payload);
    const auto found = schema_faults(topic, json);
    faults.insert(faults.end(), found.begin(), found.end());
    entities[json["default_entity_id"].asString()] = json;
    for (const Json::Value& id : json["device"]["identifiers"]) devices.insert(id.asString());
    if (json["device"].isMember("via_device"))
      linked.insert(json["device"]["via_device"].asString());
  }
  EXPECT_THAT(faults, IsEmpty());
  for (const std::string& via : linked) EXPECT_EQ(devices.count(via), 1u) << via << " announced";
  // 44 readings, the four limit alarms and the loss of communication, the
  // climate entity; and the gateway's status.
  EXPECT_EQ(entities.size(), 44u + 5u + 1u + 1u);

  const Json::Value& gateway_status = entities["binary_sensor.norvane_test_gateway_status"];
  EXPECT_EQ(gateway_status["state_topic"], "norvane/test/status");
  EXPECT_EQ(gateway_status["device_class"], "connectivity");
  EXPECT_EQ(gateway_status["payload_on"], "online");
  EXPECT_EQ(gateway_status["device"]["sw_version"], NORVANE_VERSION);
  EXPECT_EQ(linked, std::set<std::string>{"norvane-test-gateway"});

  const Json::Value& water = entities["binary_sensor.ac1_water_on_floor"];
  EXPECT_EQ(water["device"]["name"], title);
  EXPECT_EQ(water["device_class"], "problem");
  EXPECT_EQ(water["json_attributes_topic"], "norvane/test/ac1/alarms");
  EXPECT_THAT(water["json_attributes_template"].asString(),
              HasSubstr("'signal_id': '120800150010', 'level': 3, 'level_name': 'critical'"));
  EXPECT_EQ(entities.count("binary_sensor.ac1_alarm_120800150010"), 0u) << "no twin";
  EXPECT_THAT(
      entities["binary_sensor.ac1_alarm_120800090010"]["json_attributes_template"].asString(),
      HasSubstr("'level': 3, 'level_name': 'critical'"))
      << "supervised at its default level without a word in the file";

  EXPECT_EQ(entities["binary_sensor.ac1_compressor"]["device_class"], "running");
  EXPECT_EQ(entities["binary_sensor.ac1_compressor"]["value_template"],
            "{{ 'ON' if value_json.readings.compressor == 'on' else 'OFF' }}");
  EXPECT_EQ(entities["binary_sensor.ac1_run_state"]["device_class"], "running");
  EXPECT_EQ(entities["sensor.ac1_return_air_temperature"]["state_class"], "measurement");
  for (const char* setting : {"set_temperature", "set_humidity", "temperature_precision",
                              "return_air_humidity_upper_limit"})
    EXPECT_FALSE(entities[std::string("sensor.ac1_") + setting].isMember("state_class")) << setting;
  const Json::Value& band = entities["sensor.ac1_temperature_precision"];
  EXPECT_FALSE(band.isMember("device_class")) << "a difference: no conversion to F";
  EXPECT_EQ(band["unit_of_measurement"],
            "\xC2\xB0"
            "C");
  EXPECT_FALSE(entities["sensor.ac1_humidity_precision"].isMember("device_class"));

  const Json::Value& climate = entities["climate.ac1_climate"];
  EXPECT_EQ(climate["min_temp"], 18) << "[17.5, 27] rounded inwards";
  EXPECT_EQ(climate["max_temp"], 27);
  EXPECT_EQ(climate["min_humidity"], 31) << "[30.5, 79.5] rounded inwards";
  EXPECT_EQ(climate["max_humidity"], 79);
}

// After the gateway is killed, the broker holds no message that says a
// unit is online, not even one that an earlier release retained: the
// units' availability is not retained, and the gateway's status is its
// last will, "offline".
TEST_F(GatewayMqtt, AfterACrashNoRetainedMessageSaysAUnitIsOnline) {
  Broker broker(dir);
  broker.start();
  retain(broker.port(), "norvane/test/ac1/availability", "online");  // an earlier release's
  Subscriber subscriber(broker.port(), "norvane-test-crash", {"norvane/test/ac1/availability"},
                        true);
  start_unit();
  write_config_for(broker.port(), false);
  auto gateway = start_gateway({});
  ASSERT_TRUE(eventually([&] {
    const auto payloads = subscriber.payloads("norvane/test/ac1/availability");
    return payloads.size() >= 3 && payloads.back() == "online";
  })) << "the earlier release's, cleared, then the gateway's own";
  EXPECT_EQ(retained(broker.port(), "norvane/test/status"), "online");

  gateway->signal(SIGKILL);
  gateway->wait_exit();
  std::vector<std::string> left;
  ASSERT_TRUE(eventually([&] {
    left = all_retained(broker.port(), "norvane/test/#");
    return std::find(left.begin(), left.end(), "norvane/test/status offline") != left.end();
  })) << ::testing::PrintToString(left);
  for (const std::string& message : left)
    EXPECT_THAT(message, Not(HasSubstr("availability"))) << "nothing retained on it";
  EXPECT_THAT(left, ::testing::Contains(HasSubstr("norvane/test/ac1/state ")));
  broker.stop();
}

// Two units whose names come out the same in Home Assistant's ids, and
// set-point limits that it cannot offer, are refused at a reload as at
// the start: the running unit keeps its entities.
TEST_F(GatewayMqtt, AReloadRefusesUnitsThatShareIdsAndLimitsHomeAssistantCannotOffer) {
  Broker broker(dir);
  broker.start();
  start_unit({"--slave", "1", "--slave", "2"});
  write_config_for(broker.port(), true);
  const Json::Value good = parsed(file_text(dir.file("config.json")));
  auto gateway = start_gateway({});
  const std::string climate_topic = "homeassistant/climate/norvane-test-gateway/ac1_climate/config";
  ASSERT_TRUE(eventually([&] { return !retained(broker.port(), climate_topic).empty(); }));

  Json::Value clash = good;
  clash["units"][0]["name"] = "ac.1";
  clash["units"].append(good["units"][0]);
  clash["units"][1]["name"] = "ac_1";
  clash["units"][1]["slave"] = 2;
  write_config(Json::FastWriter().write(clash));
  Finished refused = ctl({"reload"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.out, HasSubstr(dir.file("config.json") +
                                     ": units[1].name: \"ac_1\" and \"ac.1\" come out the same "
                                     "in Home Assistant's ids (\"ac_1\")"));

  const std::vector<std::pair<const char*, std::vector<double>>> limits{
      {"temperature", {20.2, 20.8}}, {"humidity", {40, 120}}, {"humidity", {50, 50}}};
  for (const auto& [field, range] : limits) {
    Json::Value narrow = good;
    Json::Value& given = narrow["units"][0]["setpoint_limits"][field] = Json::arrayValue;
    for (double value : range) given.append(value);
    write_config(Json::FastWriter().write(narrow));
    refused = ctl({"reload"});
    EXPECT_EQ(refused.status, 1) << field;
    EXPECT_THAT(refused.out, HasSubstr(dir.file("config.json") + ": units[0].setpoint_limits." +
                                       field + ": must "));
  }
  EXPECT_THAT(retained(broker.port(), climate_topic), HasSubstr("\"min_temp\":18"))
      << "still announced as it was";
  gateway->signal(SIGTERM);
  EXPECT_EQ(gateway->wait_exit(), 0) << gateway->err();
  broker.stop();
}

}  // namespace
