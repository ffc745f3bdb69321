// The configuration file: a whole example read field by field, and every
// kind of mistake named with the file and the field.
#include <ostream>
#include <tuple>

#include <gtest/gtest.h>

#include "gateway/config/config.h"

namespace {

constexpr char kExample[] = R"({
  // comments are allowed
  "plugin": "lib/norvane.so",
  "history": "/var/lib/norvane/history.db",
  "history_keep_days": 7.5, "history_synchronous": "normal", "history_queue": 500,
  "history_max_mb": 64,
  "interval_s": 2.5,
  "bus": {"port": "/dev/ttyS1", "baud": 19200, "parity": "even", "data_bits": 8,
          "stop_bits": 2, "response_timeout_ms": 250, "retries": 3,
          "lost_after_rounds": 5, "max_backoff_s": 120,
          "serial_mode": "rs485", "rts": "up", "rts_delay_us": 300},
  "units": [
    {"name": "ac1", "slave": 1, "data_id": 101,
     "settings": {"appSetting": {"b_mode": "2"}, "extra": [1, 2]},
     "alarm_levels": {"120800150010": 3, "120800090010": -1, "120800260010": "off",
                      "120800230010": "major", "comm_lost": 4},
     "alarm_thresholds": {"120800090010": 28.5},
     "ao_signal_ids": ["110800010010"],
     "setpoint_limits": {"temperature": [18, 27.5]}},
    {"name": "ac2", "slave": 2}
  ],
  "control": {"socket": "run/gateway.sock"}
})";

TEST(ConfigFile, ReadsEveryFieldAndResolvesPathsFromItsFolder) {
  const gw::config::Config config = gw::config::parse_config(kExample, "/etc/norvane/gateway.json");
  EXPECT_EQ(config.plugin, "/etc/norvane/lib/norvane.so");
  EXPECT_EQ(config.history, "/var/lib/norvane/history.db");
  EXPECT_DOUBLE_EQ(config.interval_s, 2.5);
  ASSERT_EQ(config.buses.size(), 1u) << "\"bus\" with \"units\" is one bus";
  const gw::config::BusSettings& bus = config.buses[0].settings;
  EXPECT_EQ(bus.port, "/dev/ttyS1");
  EXPECT_EQ(bus.baud, 19200);
  EXPECT_EQ(bus.parity, 'E');
  EXPECT_EQ(bus.stop_bits, 2);
  EXPECT_EQ(bus.response_timeout_ms, 250);
  EXPECT_EQ(bus.retries, 3);
  EXPECT_EQ(bus.lost_after_rounds, 5);
  EXPECT_EQ(bus.max_backoff_s, 120);
  EXPECT_EQ(bus.serial_mode, gw::config::SerialMode::kRs485);
  EXPECT_EQ(bus.rts, gw::config::RtsMode::kUp);
  EXPECT_EQ(bus.rts_delay_us, 300);
  EXPECT_DOUBLE_EQ(config.history_options.keep_days, 7.5);
  EXPECT_FALSE(config.history_options.synchronous_full);
  EXPECT_EQ(config.history_options.queue, 500);
  EXPECT_EQ(config.history_options.max_mb, 64);
  ASSERT_EQ(config.buses[0].units.size(), 2u);
  const gw::config::UnitConfig& first = config.buses[0].units[0];
  EXPECT_EQ(first.name, "ac1");
  EXPECT_EQ(first.data_id, 101);
  EXPECT_EQ(first.settings["appSetting"]["b_mode"].asString(), "2");
  EXPECT_EQ(first.settings["extra"].size(), 2u) << "settings pass to the device whole";
  EXPECT_EQ(first.alarm_levels.at("120800150010"), 3);
  EXPECT_EQ(first.alarm_levels.at("120800090010"), -1);
  EXPECT_EQ(first.alarm_levels.at("120800260010"), 0) << "off: unsupervised on purpose";
  EXPECT_EQ(first.alarm_levels.at("120800230010"), 2) << "major";
  EXPECT_EQ(first.alarm_levels.count("comm_lost"), 0u) << "the gateway's own, not the device's";
  EXPECT_EQ(first.comm_lost_level, 4);
  EXPECT_DOUBLE_EQ(first.setpoint_limits.temperature.high, 27.5);
  EXPECT_DOUBLE_EQ(first.setpoint_limits.humidity.low, 30) << "the default";
  EXPECT_FLOAT_EQ(first.alarm_thresholds.at("120800090010"), 28.5f);
  EXPECT_EQ(first.ao_signal_ids, std::vector<std::string>{"110800010010"});
  const gw::config::UnitConfig& second = config.buses[0].units[1];
  EXPECT_EQ(second.slave, 2);
  EXPECT_EQ(second.alarm_levels.size(), 8u) << "every alarm of the unit, at its default level";
  EXPECT_EQ(second.alarm_levels.at("120800150010"), 3);
  EXPECT_EQ(second.alarm_levels.at("120800260010"), 1);
  EXPECT_TRUE(gw::config::unsupervised_signals(second).empty());
  EXPECT_EQ(gw::config::unsupervised_signals(first), std::vector<std::string>{"120800260010"});
  EXPECT_TRUE(second.settings.isObject());
  EXPECT_EQ(config.control_socket, "/etc/norvane/run/gateway.sock");
}

TEST(ConfigFile, DefaultsToNineThousandSixHundredBaudEightNoneOne) {
  const gw::config::Config config = gw::config::parse_config(
      R"({"plugin": "norvane.so", "bus": {}, "units": [{"name": "a", "slave": 1}]})", "c.json");
  const gw::config::BusSettings& bus = config.buses.at(0).settings;
  EXPECT_EQ(bus.baud, 9600);
  EXPECT_EQ(bus.parity, 'N');
  EXPECT_EQ(bus.data_bits, 8);
  EXPECT_EQ(bus.stop_bits, 1);
  EXPECT_FALSE(bus.serial_mode) << "the port as it is";
  EXPECT_EQ(bus.lost_after_rounds, 3);
  EXPECT_EQ(bus.max_backoff_s, 60);
  EXPECT_GT(config.interval_s, 1.0) << "a few seconds between rounds";
  EXPECT_TRUE(config.history_options.synchronous_full);
  EXPECT_DOUBLE_EQ(config.history_options.keep_days, 30);
  EXPECT_EQ(config.plugin, "./norvane.so") << "a file beside the configuration, never searched";
}

TEST(ConfigFile, ReadsSeveralBusesEachWithItsLineAndUnits) {
  const gw::config::Config config = gw::config::parse_config(R"({"interval_s": 1, "buses": [
    {"port": "/dev/ttyS1", "baud": 19200, "retries": 0,
     "units": [{"name": "ac1", "slave": 1}, {"name": "ac2", "slave": 2}]},
    {"port": "/dev/ttyUSB0", "units": [{"name": "ac3", "slave": 1, "data_id": 103}]}]})",
                                                             "c.json");
  ASSERT_EQ(config.buses.size(), 2u);
  EXPECT_EQ(config.buses[0].settings.port, "/dev/ttyS1");
  EXPECT_EQ(config.buses[0].settings.baud, 19200);
  EXPECT_EQ(config.buses[0].settings.retries, 0);
  EXPECT_EQ(config.buses[0].units.size(), 2u);
  EXPECT_EQ(config.buses[1].settings.port, "/dev/ttyUSB0");
  EXPECT_EQ(config.buses[1].settings.baud, 9600) << "each bus its own defaults";
  EXPECT_EQ(config.buses[1].settings.retries, 1);
  ASSERT_EQ(config.buses[1].units.size(), 1u);
  EXPECT_EQ(config.buses[1].units[0].slave, 1) << "a slave address is unique on its bus only";
  EXPECT_EQ(gw::config::bus_of(config, "ac3"), &config.buses[1]);
  EXPECT_EQ(gw::config::all_units(config).size(), 3u);
}

TEST(ConfigFile, TheInstalledExamplesAreValid) {
  const std::string folder = NORVANE_PACKAGING_DIR;
  EXPECT_EQ(gw::config::load_config(folder + "/gateway.json.in").buses.size(), 1u);
  const gw::config::Config two = gw::config::load_config(folder + "/gateway-two-buses.json.in");
  ASSERT_EQ(two.buses.size(), 2u);
  EXPECT_EQ(gw::config::all_units(two).size(), 3u);
}

TEST(ConfigFile, ReadsTheOutputsEachOffWhenAbsent) {
  const gw::config::Config none =
      gw::config::parse_config(R"({"bus": {}, "units": [{"name": "a", "slave": 1}]})", "c.json");
  EXPECT_FALSE(none.outputs.http || none.outputs.mqtt || none.outputs.notify || none.outputs.jsonl);

  const gw::config::Config config =
      gw::config::parse_config(R"({"bus": {}, "units": [{"name": "a", "slave": 1}],
    "http": {"listen": "9120"},
    "mqtt": {"host": "broker", "tls": {"ca_file": "ca.pem"}, "username": "gw",
             "password_file": "mqtt.pass", "commands": true},
    "notify": {"exec": ["page.sh", "--room", "B2"], "min_duration_s": 60},
    "jsonl": {"path": "rounds.jsonl"}})",
                               "/etc/norvane/gateway.json");
  EXPECT_EQ(config.outputs.http->host, "127.0.0.1") << "a port alone listens on loopback";
  EXPECT_EQ(config.outputs.http->port, 9120);
  const gw::config::MqttConfig& mqtt = *config.outputs.mqtt;
  EXPECT_EQ(mqtt.port, 8883) << "TLS's port unless one is given";
  EXPECT_EQ(mqtt.tls->ca_file, "/etc/norvane/ca.pem");
  EXPECT_EQ(mqtt.password_file, "/etc/norvane/mqtt.pass");
  EXPECT_EQ(mqtt.discovery_prefix, "homeassistant");
  EXPECT_EQ(mqtt.qos, 0);
  EXPECT_TRUE(mqtt.commands);
  EXPECT_EQ(config.outputs.notify->exec,
            (std::vector<std::string>{"/etc/norvane/page.sh", "--room", "B2"}))
      << "a path from the file's folder, never searched";
  EXPECT_DOUBLE_EQ(config.outputs.notify->min_duration_s, 60);
  EXPECT_GT(config.outputs.notify->timeout_s, 0) << "always a time limit";
  EXPECT_EQ(config.outputs.jsonl->path, "/etc/norvane/rounds.jsonl");

  for (const auto& [listen, host, port] :
       {std::tuple{"0.0.0.0:80", "0.0.0.0", 80}, std::tuple{"[::1]:9120", "::1", 9120},
        std::tuple{":0", "127.0.0.1", 0}}) {
    const gw::config::Config other = gw::config::parse_config(
        std::string(R"({"bus": {}, "units": [{"name": "a", "slave": 1}], "http": {"listen": ")") +
            listen + "\"}}",
        "c.json");
    EXPECT_EQ(other.outputs.http->host, host) << listen;
    EXPECT_EQ(other.outputs.http->port, port) << listen;
  }
}

struct Mistake {
  const char* text;
  const char* error;  // what follows "c.json: "
};

// Shows the case in failure messages.
void PrintTo(const Mistake& mistake, std::ostream* out) {
  *out << mistake.text << " -> " << mistake.error;
}

class ConfigMistakes : public ::testing::TestWithParam<Mistake> {};

TEST_P(ConfigMistakes, AreNamedWithTheFileAndTheField) {
  try {
    gw::config::parse_config(GetParam().text, "c.json");
    ADD_FAILURE() << "accepted: " << GetParam().text;
  } catch (const gw::config::ConfigError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(std::string("c.json: ") + GetParam().error, 0), 0u)
        << error.what();
  }
}

// 5,000 arrays deep, as the value of a field.
std::string nested_deep() {
  return "{\"bus\": {}, \"units\": " + std::string(5000, '[') + std::string(5000, ']') + "}";
}

TEST(ConfigFile, NestingTooDeepIsAMistakeNamedWithTheFile) {
  try {
    gw::config::parse_config(nested_deep(), "c.json");
    ADD_FAILURE() << "accepted";
  } catch (const gw::config::ConfigError& error) {
    EXPECT_EQ(std::string(error.what()), "c.json: not valid JSON: nested more than 1000 deep");
  }
}

#define UNIT(fields) "{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1" fields "}]}"
// Two buses: unit "a" at slave 1 on the first; units B1 and B2 (slaves S1
// and S2) on the second, whose fields end with `more`.
#define BUSES(port1, port2, b1, s1, b2, s2, more)                                \
  "{\"buses\": [{\"port\": \"" port1                                             \
  "\", \"units\": [{\"name\": \"a\", \"slave\": 1}]}, "                          \
  "{\"port\": \"" port2 "\", \"units\": [{\"name\": \"" b1 "\", \"slave\": " #s1 \
  "}, {\"name\": \"" b2 "\", \"slave\": " #s2 "}]" more "}]}"
#define UNITS(fields) "{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}]" fields "}"

INSTANTIATE_TEST_SUITE_P(
    Config, ConfigMistakes,
    ::testing::Values(
        Mistake{"{\"bus\": {}, ", "not valid JSON"},
        Mistake{"{\"bus\": {}, \"bus\": {}}", "not valid JSON"},
        Mistake{"[]", "(top level): must be an object"},
        Mistake{"{\"units\": [{\"name\": \"a\", \"slave\": 1}]}", "bus: is missing"},
        Mistake{"{\"bus\": {}}", "units: is missing"},
        Mistake{"{\"bus\": {}, \"units\": []}", "units: must be a non-empty array"},
        Mistake{"{\"bus\": {\"parity\": \"mark\"}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.parity: must be \"none\", \"even\" or \"odd\""},
        Mistake{"{\"bus\": {\"baud\": \"fast\"}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.baud: must be a speed of the serial line"},
        Mistake{"{\"bus\": {\"retries\": 11}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.retries: must be a whole number from 0 to 10"},
        Mistake{"{\"bus\": {\"speed\": 9600}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.speed: is not a known field"},
        Mistake{"{\"interval_s\": -1, \"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "interval_s: must be a number of seconds from 0 to 86400"},
        Mistake{"{\"bus\": {}, \"units\": [{\"slave\": 1}]}", "units[0].name: is missing"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a b\", \"slave\": 1}]}",
                "units[0].name: must be 1 to 32 letters, digits, '-', '_' or '.'"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\\u0000\\u001b[2J\", \"slave\": 1}]}",
                "units[0].name: must be 1 to 32 letters"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"\xc3\xa4\", \"slave\": 1}]}",
                "units[0].name: must be 1 to 32 letters"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"\xff\xfe\", \"slave\": 1}]}",
                "units[0].name: must be 1 to 32 letters"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"abcdefghijklmnopqrstuvwxyz0123456\", "
                "\"slave\": 1}]}",
                "units[0].name: must be 1 to 32 letters"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 18446744073709551615}]}",
                "units[0].slave: must be a whole number from 1 to 247"},
        Mistake{UNIT(", \"data_id\": 1e19"),
                "units[0].data_id: must be a whole number from -2147483648 to 2147483647"},
        Mistake{UNIT(", \"data_id\": -18446744073709551615"),
                "units[0].data_id: must be a whole number from -2147483648 to 2147483647"},
        Mistake{UNIT(", \"alarm_levels\": {\"120800150010\": 18446744073709551615}"),
                "units[0].alarm_levels.120800150010: must be a whole number"},
        Mistake{"{\"bus\": {\"baud\": 14400}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.baud: must be a speed of the serial line: 50, 75, 110,"},
        Mistake{"{\"bus\": {\"rts\": \"sideways\"}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "bus.rts: must be \"none\", \"up\" or \"down\""},
        Mistake{"{\"bus\": {\"serial_mode\": \"rs422\"}, \"units\": [{\"name\": \"a\", "
                "\"slave\": 1}]}",
                "bus.serial_mode: must be \"rs232\" or \"rs485\""},
        Mistake{
            "{\"bus\": {\"lost_after_rounds\": 0}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
            "bus.lost_after_rounds: must be a whole number from 1 to 1000"},
        Mistake{
            "{\"bus\": {\"max_backoff_s\": 1e19}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
            "bus.max_backoff_s: must be a whole number from 1 to 3600"},
        Mistake{"{\"history_keep_days\": -1, \"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": "
                "1}]}",
                "history_keep_days: must be a number of days from 0 to 36500"},
        Mistake{"{\"history_synchronous\": \"off\", \"bus\": {}, \"units\": [{\"name\": \"a\", "
                "\"slave\": 1}]}",
                "history_synchronous: must be \"full\" or \"normal\""},
        Mistake{"{\"history_queue\": 0, \"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "history_queue: must be a whole number from 1 to 1000000"},
        Mistake{
            UNIT(", \"setpoint_limits\": {\"temperature\": [30, 20]}"),
            "units[0].setpoint_limits.temperature: must be [MIN, MAX], two numbers from -999 to "
            "999 with MIN < MAX"},
        // What Home Assistant's climate control could not offer: no whole
        // degree, humidities outside 0 to 100, a minimum not below the
        // maximum (whole percent apart).
        Mistake{UNIT(", \"setpoint_limits\": {\"temperature\": [20.2, 20.8]}"),
                "units[0].setpoint_limits.temperature: must hold a whole degree"},
        Mistake{UNIT(", \"setpoint_limits\": {\"temperature\": [22, 22]}"),
                "units[0].setpoint_limits.temperature: must be [MIN, MAX], two numbers from "
                "-999 to 999 with MIN < MAX"},
        Mistake{UNIT(", \"setpoint_limits\": {\"humidity\": [40, 120]}"),
                "units[0].setpoint_limits.humidity: must be [MIN, MAX], two numbers from 0 to "
                "100 with MIN < MAX"},
        Mistake{UNIT(", \"setpoint_limits\": {\"humidity\": [-5, 80]}"),
                "units[0].setpoint_limits.humidity: must be [MIN, MAX], two numbers from 0 to 100"},
        Mistake{UNIT(", \"setpoint_limits\": {\"humidity\": [50, 50]}"),
                "units[0].setpoint_limits.humidity: must be [MIN, MAX]"},
        Mistake{UNIT(", \"setpoint_limits\": {\"humidity\": [50.2, 51]}"),
                "units[0].setpoint_limits.humidity: must hold two whole percents at least"},
        Mistake{UNIT(", \"setpoint_limits\": {\"humidity\": [30]}"),
                "units[0].setpoint_limits.humidity: must be [MIN, MAX]"},
        Mistake{UNIT(", \"setpoint_limits\": {\"pressure\": [1, 2]}"),
                "units[0].setpoint_limits.pressure: is not a known field"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\"}]}", "units[0].slave: is missing"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 0}]}",
                "units[0].slave: must be a whole number from 1 to 247"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}, {\"name\": \"a\", "
                "\"slave\": 2}]}",
                "units[1].name: \"a\" names another unit too"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}, {\"name\": \"b\", "
                "\"slave\": 1}]}",
                "units[1].slave: 1 is another unit's address"},
        Mistake{UNIT(", \"settings\": []"), "units[0].settings: must be an object"},
        Mistake{UNIT(", \"settings\": {\"appSetting\": \"2\"}"),
                "units[0].settings.appSetting: must be an object"},
        Mistake{UNIT(", \"settings\": {\"appSetting\": {\"b_mode\": [2]}}"),
                "units[0].settings.appSetting.b_mode: must be a number or a string"},
        Mistake{UNIT(", \"alarm_levels\": {\"12080015\": 3}"),
                "units[0].alarm_levels.12080015: is not a 12-digit signal id"},
        Mistake{UNIT(", \"alarm_levels\": {\"120800150010\": 2.5}"),
                "units[0].alarm_levels.120800150010: must be a whole number"},
        Mistake{UNIT(", \"alarm_levels\": {\"120800150010\": \"urgent\"}"),
                "units[0].alarm_levels.120800150010: must be a level: a whole number, "
                "\"warning\", \"major\", \"critical\" or \"off\" (unsupervised)"},
        Mistake{UNIT(", \"alarm_thresholds\": {\"120800090010\": \"28\"}"),
                "units[0].alarm_thresholds.120800090010: must be a number"},
        Mistake{UNIT(", \"ao_signal_ids\": [\"110800010010\", 7]"),
                "units[0].ao_signal_ids[1]: must be a 12-digit signal id string"},
        Mistake{UNIT(", \"alarm_level\": {}"), "units[0].alarm_level: is not a known field"},
        Mistake{"{\"bus\": {}, \"buses\": []}",
                "buses: give either \"bus\" with \"units\" (one bus) or \"buses\", not both"},
        Mistake{"{\"buses\": [], \"units\": [{\"name\": \"a\", \"slave\": 1}]}",
                "buses: give either \"bus\" with \"units\""},
        Mistake{"{\"buses\": {}}", "buses: must be a non-empty array"},
        Mistake{"{\"buses\": [{\"units\": [{\"name\": \"a\", \"slave\": 1}]}]}",
                "buses[0].port: is missing"},
        Mistake{"{\"buses\": [{\"port\": \"/dev/ttyS1\"}]}", "buses[0].units: is missing"},
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS2", "b", 1, "ac1", 2, ", \"speed\": 1"),
                "buses[1].speed: is not a known field"},
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS1", "b", 1, "ac1", 2, ""),
                "buses[1].port: \"/dev/ttyS1\" is the port of buses[0].port too: one bus a port"},
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS2", "a", 1, "ac1", 2, ""),
                "buses[1].units[0].name: \"a\" names another unit too"},
        // One topic of Home Assistant's discovery, one unique id, one device.
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS2", "ac.1", 1, "ac_1", 2, ""),
                "buses[1].units[1].name: \"ac_1\" and \"ac.1\" come out the same in Home "
                "Assistant's ids (\"ac_1\"): one unit would take the other's entities"},
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS2", "A", 1, "b", 2, ""),
                "buses[1].units[0].name: \"A\" and \"a\" come out the same in Home "
                "Assistant's ids (\"a\")"},
        Mistake{BUSES("/dev/ttyS1", "/dev/ttyS2", "b", 1, "c", 1, ""),
                "buses[1].units[1].slave: 1 is another unit's address"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}], "
                "\"control\": {\"socket\": 1}}",
                "control.socket: must be a non-empty string"},
        Mistake{"{\"bus\": {}, \"units\": [{\"name\": \"a\", \"slave\": 1}], "
                "\"control\": {\"path\": \"x\"}}",
                "control.path: is not a known field"},
        Mistake{UNITS(", \"http\": {}"), "http.listen: is missing"},
        Mistake{UNITS(", \"http\": {\"listen\": \"::1:80\"}"),
                "http.listen: an IPv6 address goes in brackets"},
        Mistake{UNITS(", \"http\": {\"listen\": \"localhost:http\"}"),
                "http.listen: must end in a port number from 0 to 65535"},
        Mistake{UNITS(", \"mqtt\": {\"port\": 1883}"), "mqtt.host: is missing"},
        Mistake{UNITS(", \"mqtt\": {\"host\": \"b\", \"qos\": 3}"),
                "mqtt.qos: must be a whole number from 0 to 2"},
        Mistake{UNITS(", \"mqtt\": {\"host\": \"b\", \"base_topic\": \"site/#\"}"),
                "mqtt.base_topic: must be a topic without"},
        Mistake{UNITS(", \"mqtt\": {\"host\": \"b\", \"password_file\": \"p\"}"),
                "mqtt.password_file: needs a username"},
        Mistake{UNITS(", \"mqtt\": {\"host\": \"b\", \"tls\": {\"cert_file\": \"c\"}}"),
                "mqtt.tls.key_file: a client certificate needs both"},
        Mistake{UNITS(", \"mqtt\": {\"host\": \"b\", \"retain\": true}"),
                "mqtt.retain: is not a known field"},
        Mistake{UNITS(", \"notify\": {\"exec\": \"page.sh\"}"),
                "notify.exec: must be an array: the program, then its arguments"},
        Mistake{UNITS(", \"notify\": {\"exec\": [\"\"]}"), "notify.exec[0]: must be a string"},
        Mistake{UNITS(", \"notify\": {\"exec\": [\"p\"], \"min_duration_s\": -1}"),
                "notify.min_duration_s: must be a number of seconds from 0 to 86400"},
        Mistake{UNITS(", \"jsonl\": {}"), "jsonl.path: is missing"}));

}  // namespace
