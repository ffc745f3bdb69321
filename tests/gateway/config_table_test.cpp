// The configuration's field table against the parser and the reload plan:
// every field of the table is read when set, has the table's default when
// left out, is refused with its name just outside its range, and is
// applied or named as needing a restart by a reload as the table says.
// (The manual page printed from the table is checked by
// check_config_manual.sh.)
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "gateway/config/config.h"
#include "gateway/config/effective.h"
#include "gateway/config/field_table.h"
#include "gateway/service/reload_plan.h"

namespace {

using gw::config::Field;
using gw::config::FieldType;
using gw::config::Reload;

constexpr char kFile[] = "/etc/norvane/gateway.json";
constexpr char kFolder[] = "/etc/norvane/";

// A value of each field that is valid and not its default. A field added to
// the table needs one here.
const std::map<std::string, std::string> kSamples = {
    {"plugin", R"("lib/other.so")"},
    {"history", R"("other.db")"},
    {"history_keep_days", "7.5"},
    {"history_synchronous", R"("normal")"},
    {"history_queue", "500"},
    {"history_max_mb", "64"},
    {"interval_s", "2.5"},
    {"bus.port", R"("/dev/ttyS2")"},
    {"bus.baud", "19200"},
    {"bus.parity", R"("even")"},
    {"bus.data_bits", "7"},
    {"bus.stop_bits", "2"},
    {"bus.response_timeout_ms", "250"},
    {"bus.retries", "3"},
    {"bus.lost_after_rounds", "5"},
    {"bus.max_backoff_s", "120"},
    {"bus.serial_mode", R"("rs485")"},
    {"bus.rts", R"("up")"},
    {"bus.rts_delay_us", "300"},
    {"units[].name", R"("ac9")"},
    {"units[].title", R"("机房 B2 空调 1")"},
    {"units[].slave", "7"},
    {"units[].data_id", "101"},
    {"units[].settings", R"({"appSetting": {"b_mode": "2"}})"},
    {"units[].alarm_levels", R"({"120800150010": 3})"},
    {"units[].alarm_thresholds", R"({"120800090010": 28.5})"},
    {"units[].ao_signal_ids", R"(["110800010010"])"},
    {"units[].alarm_levels.comm_lost", "4"},
    {"units[].setpoint_limits.temperature", "[18, 27.5]"},
    {"units[].setpoint_limits.humidity", "[35, 70]"},
    {"control.socket", R"("run/gateway.sock")"},
    {"http.listen", R"("0.0.0.0:80")"},
    {"http.chart_js", R"("chart.js")"},
    {"mqtt.host", R"("broker2")"},
    {"mqtt.port", "1884"},
    {"mqtt.base_topic", R"("site/room")"},
    {"mqtt.client_id", R"("gw1")"},
    {"mqtt.username", R"("gw2")"},
    {"mqtt.password_file", R"("other.pass")"},
    {"mqtt.qos", "1"},
    {"mqtt.commands", "true"},
    {"mqtt.discovery", "false"},
    {"mqtt.discovery_prefix", R"("ha")"},
    {"mqtt.keepalive_s", "60"},
    {"mqtt.alarm_queue", "50"},
    {"mqtt.tls.ca_file", R"("ca.pem")"},
    {"mqtt.tls.ca_path", R"("certs")"},
    {"mqtt.tls.cert_file", R"("other-cert.pem")"},
    {"mqtt.tls.key_file", R"("other-key.pem")"},
    {"notify.exec", R"(["page.sh", "--room", "B2"])"},
    {"notify.min_duration_s", "60"},
    {"notify.timeout_s", "5"},
    {"jsonl.path", R"("rounds.jsonl")"},
};

Json::Value json(const std::string& text) {
  Json::Value value;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << text;
  return value;
}

std::string text_of(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

bool is_section(const Field& row) {
  return row.type == FieldType::kSection || row.type == FieldType::kSectionList;
}

// Every section present with its required fields (and those that others
// need), so that any field can be set in it; one bus, as "bus" and
// "units" or as a list of "buses".
Json::Value base(bool buses) {
  Json::Value config = json(R"({"plugin": "norvane.so", "history": "history.db",
    "control": {},
    "http": {"listen": "9120"},
    "mqtt": {"host": "broker", "username": "gw",
             "tls": {"cert_file": "cert.pem", "key_file": "key.pem"}},
    "notify": {"exec": ["page"]},
    "jsonl": {"path": "out.jsonl"}})");
  const Json::Value units = json(R"([{"name": "a", "slave": 1,
    "alarm_levels": {}, "setpoint_limits": {}}])");
  if (buses) {
    config["buses"][0]["port"] = "/dev/ttyS1";
    config["buses"][0]["units"] = units;
  } else {
    config["bus"]["port"] = "/dev/ttyS1";
    config["units"] = units;
  }
  return config;
}

// The object of `config` (as base() lays it out) that holds `section`'s
// fields, and its name in errors.
Json::Value& place(Json::Value& config, std::string_view section, bool buses, std::string& path) {
  Json::Value* object = &config;
  path.clear();
  while (!section.empty()) {
    const size_t dot = section.find('.');
    const std::string part(section.substr(0, dot));
    section = dot == std::string_view::npos ? std::string_view() : section.substr(dot + 1);
    std::string name;
    if (part == "bus" || part == "buses[]") {
      object = buses ? &config["buses"][0] : &config["bus"];
      name = buses ? "buses[0]" : "bus";
    } else if (part == "units[]") {
      object = buses ? &config["buses"][0]["units"][0] : &config["units"][0];
      name = buses ? "buses[0].units[0]" : "units[0]";
    } else {
      object = &(*object)[part];
      name = path.empty() ? part : path + "." + part;
    }
    path = name;
  }
  return *object;
}

Json::Value with(const Field& row, const Json::Value& value, bool buses = false) {
  Json::Value config = base(buses);
  std::string path;
  place(config, row.section, buses, path)[std::string(row.name)] = value;
  return config;
}

Json::Value without(const Field& row, bool buses = false) {
  Json::Value config = base(buses);
  std::string path;
  place(config, row.section, buses, path).removeMember(std::string(row.name));
  return config;
}

std::string error_path(const Field& row, bool buses) {
  Json::Value config = base(buses);
  std::string path;
  place(config, row.section, buses, path);
  return path.empty() ? std::string(row.name) : path + "." + std::string(row.name);
}

gw::config::Config parse(const Json::Value& config) {
  return gw::config::parse_config(text_of(config), kFile);
}

// What the parser makes of `sample`: relative paths from the file's folder.
Json::Value taken(const Field& row, Json::Value sample) {
  auto resolve = [](Json::Value& path) {
    if (path.asString()[0] != '/') path = kFolder + path.asString();
  };
  if (row.type == FieldType::kPath) resolve(sample);
  if (row.type == FieldType::kCommand) resolve(sample[0]);
  return sample;
}

// `part` is in `whole`: equal numbers, texts and flags, each member of an
// object (the effective "alarm_levels" holds "comm_lost" besides).
bool contains(const Json::Value& whole, const Json::Value& part) {
  if (part.isObject()) {
    if (!whole.isObject()) return false;
    for (const std::string& key : part.getMemberNames())
      if (!whole.isMember(key) || !contains(whole[key], part[key])) return false;
    return true;
  }
  if (part.isArray()) {
    if (!whole.isArray() || whole.size() != part.size()) return false;
    for (Json::ArrayIndex i = 0; i < part.size(); ++i)
      if (!contains(whole[i], part[i])) return false;
    return true;
  }
  if (part.isNumeric() && whole.isNumeric()) return part.asDouble() == whole.asDouble();
  return part == whole;
}

// The table's default of `row` as the effective configuration shows it.
Json::Value table_default(const Field& row) {
  switch (row.type) {
    case FieldType::kInteger:
    case FieldType::kNumber:
    case FieldType::kSpeed:
      return row.number;
    case FieldType::kFlag:
      return row.number != 0;
    case FieldType::kRange:
      return json("[" + std::to_string(row.number) + ", " + std::to_string(row.number_high) + "]");
    case FieldType::kObject:
    case FieldType::kLevels:
    case FieldType::kLimits:
    case FieldType::kSignalIds:
      return json(std::string(row.text));
    default:
      return std::string(row.text);
  }
}

TEST(FieldTable, EveryFieldHasASampleAndEverySampleAField) {
  size_t leaves = 0;
  for (const Field& row : gw::config::kFields) {
    if (is_section(row)) continue;
    ++leaves;
    EXPECT_EQ(kSamples.count(row.path()), 1u) << row.path() << " has no sample value here";
  }
  EXPECT_EQ(leaves, kSamples.size()) << "a sample of a field that the table does not have";
}

// Each field set alone, in a single "bus" and in a list of "buses": the
// parser takes it, and the configuration in use shows it.
TEST(FieldTable, EveryFieldSetToAValueOfItsOwnIsTaken) {
  for (const Field& row : gw::config::kFields) {
    if (is_section(row)) continue;
    const Json::Value sample = json(kSamples.at(row.path()));
    for (const bool buses : {false, true}) {
      SCOPED_TRACE(row.path() + (buses ? " in buses" : " in bus"));
      try {
        const Json::Value shown = gw::config::effective(parse(with(row, sample, buses)));
        EXPECT_TRUE(contains(gw::config::value_of(shown, row), taken(row, sample)))
            << "set " << text_of(sample) << ", in use "
            << text_of(gw::config::value_of(shown, row));
      } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
      }
    }
  }
}

// Each section of the table is a field that the parser accepts: the
// sections of base() and "buses".
TEST(FieldTable, EverySectionIsAcceptedWhereTheTableHasIt) {
  const Json::Value one = base(false);
  const Json::Value many = base(true);
  for (const Field& row : gw::config::kFields) {
    if (!is_section(row)) continue;
    SCOPED_TRACE(row.path());
    Json::Value config = one;
    std::string path;
    const bool in_one = place(config, row.section, false, path).isMember(std::string(row.name));
    config = many;
    const bool in_many = place(config, row.section, true, path).isMember(std::string(row.name));
    EXPECT_TRUE(in_one || in_many) << "no configuration here sets it";
  }
  EXPECT_NO_THROW(parse(one));
  EXPECT_NO_THROW(parse(many));
}

TEST(FieldTable, EveryFieldLeftOutHasTheTablesDefault) {
  for (const Field& row : gw::config::kFields) {
    if (is_section(row) || !row.note.empty()) continue;  // a note: no plain default
    SCOPED_TRACE(row.path());
    const Json::Value shown = gw::config::effective(parse(without(row)));
    EXPECT_TRUE(contains(gw::config::value_of(shown, row), table_default(row)))
        << "in use " << text_of(gw::config::value_of(shown, row)) << ", the table's "
        << text_of(table_default(row));
  }
}

// A value just outside each range, and a text that is no choice: refused,
// naming the file and the field as it stands in the file.
TEST(FieldTable, AValueJustOutsideEachRangeIsRefusedWithTheFieldsName) {
  for (const Field& row : gw::config::kFields) {
    std::vector<Json::Value> outside;
    switch (row.type) {
      case FieldType::kInteger:
        outside = {row.low - 1, row.high + 1};
        break;
      case FieldType::kNumber:
        outside = {row.low - 0.01, row.high + 0.01};
        break;
      case FieldType::kRange:
        outside = {json("[" + std::to_string(row.low - 0.5) + ", 0]"),
                   json("[0, " + std::to_string(row.high + 0.5) + "]")};
        break;
      case FieldType::kChoice:
        outside = {"sideways"};
        break;
      default:
        continue;
    }
    for (const Json::Value& value : outside) {
      for (const bool buses : {false, true}) {
        const Json::Value config = with(row, value, buses);
        SCOPED_TRACE(row.path() + " = " + text_of(value));
        try {
          parse(config);
          ADD_FAILURE() << "accepted";
        } catch (const gw::config::ConfigError& error) {
          EXPECT_EQ(std::string(error.what())
                        .rfind(kFile + (": " + error_path(row, buses)) + ": must", 0),
                    0u)
              << error.what();
        }
      }
    }
  }
}

// Each field changed alone by a reload: a field that a reload applies is
// in use afterwards and named nowhere; one that needs a restart is named
// by its path and stays as it runs.
TEST(FieldTable, AReloadAppliesOrNamesEachFieldAsTheTableSays) {
  const gw::config::Config running = parse(base(false));
  const Json::Value before = gw::config::effective(running);
  for (const Field& row : gw::config::kFields) {
    if (is_section(row)) continue;
    SCOPED_TRACE(row.path());
    const gw::config::Config loaded = parse(with(row, json(kSamples.at(row.path()))));
    const gw::service::ReloadPlan plan = gw::service::plan_reload(running, loaded);
    const Json::Value in_use = gw::config::value_of(gw::config::effective(plan.in_use), row);
    if (row.reload == Reload::kApplied) {
      EXPECT_TRUE(plan.needs_restart.empty()) << plan.needs_restart.front();
      EXPECT_EQ(in_use, gw::config::value_of(gw::config::effective(loaded), row));
      EXPECT_EQ(plan.buses.size(), 1u) << "the bus is handed its part";
    } else {
      EXPECT_EQ(plan.needs_restart, std::vector<std::string>{row.path()});
      EXPECT_EQ(in_use, gw::config::value_of(before, row));
    }
  }
}

// An output or TLS turned on or off by a reload is named by its section
// (with the fields whose defaults depend on it: the broker's port on TLS).
TEST(FieldTable, ASectionAddedOrRemovedByAReloadIsNamed) {
  for (const Field& row : gw::config::kFields) {
    if (row.type != FieldType::kSection || row.reload != Reload::kRestart) continue;
    SCOPED_TRACE(row.path());
    const gw::config::Config with_it = parse(base(false));
    const gw::config::Config without_it = parse(without(row));
    for (const auto& [running, loaded] :
         {std::pair{&with_it, &without_it}, {&without_it, &with_it}}) {
      const std::vector<std::string> named =
          gw::service::plan_reload(*running, *loaded).needs_restart;
      EXPECT_NE(std::find(named.begin(), named.end(), row.path()), named.end());
      for (const std::string& name : named)
        EXPECT_EQ(name.rfind(std::string(row.section.empty() ? row.name : row.section), 0), 0u)
            << name << " is not of " << row.path();
    }
  }
}

TEST(FieldTable, ALineFieldOfOneOfSeveralBusesIsNamedWithItsBus) {
  Json::Value config = base(true);
  config["buses"][1] = json(R"({"port": "/dev/ttyS2", "units": [{"name": "b", "slave": 1}]})");
  const gw::config::Config running = parse(config);
  config["buses"][1]["baud"] = 19200;
  config["buses"][0]["retries"] = 4;
  const gw::service::ReloadPlan plan = gw::service::plan_reload(running, parse(config));
  EXPECT_EQ(plan.needs_restart, std::vector<std::string>{"buses[1].baud (/dev/ttyS2)"});
  EXPECT_EQ(plan.in_use.buses[1].settings.baud, 9600);
  EXPECT_EQ(plan.in_use.buses[0].settings.retries, 4);
}

}  // namespace
