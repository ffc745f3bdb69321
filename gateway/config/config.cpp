#include "gateway/config/config.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "gateway/base/json_parse.h"
#include "gateway/base/unit_ids.h"
#include "gateway/base/utf8.h"
#include "gateway/config/fields.h"
#include "gateway/config/output_config.h"
#include "gateway/config/serial_speeds.h"
#include "gateway/readings/alarm_table.h"

namespace gw::config {
namespace {

constexpr long kLargestFile = 1024 * 1024;
constexpr int kDeepestNesting = 1000;  // JsonCpp's own default limit
constexpr size_t kLongestUnitName = 32;
constexpr size_t kLongestUnitTitle = 64;  // characters

bool is_signal_id(const std::string& id) {
  return id.size() == 12 && id.find_first_not_of("0123456789") == std::string::npos;
}

int parse_baud(Fields& bus) {
  const Json::Value* value = bus.optional("baud");
  if (value == nullptr) return static_cast<int>(bus.row("baud").number);
  if (!value->isInt64() || serial_speed(static_cast<int>(
                               std::clamp<Json::Int64>(value->asInt64(), 0, 1 << 30))) == nullptr)
    bus.fail(bus.path_of("baud"), "must be a speed of the serial line: " + serial_speed_list());
  return static_cast<int>(value->asInt64());
}

// The line's fields of "bus" or of an entry of "buses"; the caller rejects
// the unknown ones.
BusSettings parse_line(Fields& bus) {
  BusSettings settings;
  settings.port = bus.text("port");
  settings.baud = parse_baud(bus);
  settings.parity = *bus.choice("parity", kParityCodes);
  settings.data_bits = bus.integer("data_bits");
  settings.stop_bits = bus.integer("stop_bits");
  settings.response_timeout_ms = bus.integer("response_timeout_ms");
  settings.retries = bus.integer("retries");
  settings.lost_after_rounds = bus.integer("lost_after_rounds");
  settings.max_backoff_s = bus.integer("max_backoff_s");
  settings.serial_mode = bus.choice("serial_mode", kSerialModes);
  settings.rts = bus.choice("rts", kRtsModes);
  if (bus.optional("rts_delay_us") != nullptr) settings.rts_delay_us = bus.integer("rts_delay_us");
  return settings;
}

// "settings" goes to the plug-in's InitSetting as it is. The part that the
// plug-in reads is checked here, so that a wrong type is named instead of
// being ignored or refused inside the device.
Json::Value parse_settings(Fields& unit) {
  const Json::Value* settings = unit.optional("settings");
  if (settings == nullptr) return Json::Value(Json::objectValue);
  const std::string path = unit.path_of("settings");
  if (!settings->isObject()) unit.fail(path, "must be an object");
  // Const lookups: they find members without inserting any.
  const Json::Value& app = (*settings)["appSetting"];
  if (app.isNull()) return *settings;
  if (!app.isObject()) unit.fail(path + ".appSetting", "must be an object");
  const Json::Value& mode = app["b_mode"];
  if (!mode.isNull() && !mode.isString() && !mode.isNumeric())
    unit.fail(path + ".appSetting.b_mode", "must be a number or a string such as \"2\"");
  return *settings;
}

// Signal id -> value; `gateway_id`, when given, is a signal id of the
// gateway's own that the table may hold too.
template <typename Number, typename Convert>
std::map<std::string, Number> parse_signal_table(Fields& unit, const std::string& key,
                                                 Convert convert,
                                                 const char* gateway_id = nullptr) {
  std::map<std::string, Number> table;
  const Json::Value* value = unit.optional(key);
  if (value == nullptr) return table;
  const std::string path = unit.path_of(key);
  if (!value->isObject()) unit.fail(path, "must be an object of signal id to value");
  for (const std::string& id : value->getMemberNames()) {
    if (!is_signal_id(id) && (gateway_id == nullptr || id != gateway_id))
      unit.fail(path + "." + id, "is not a 12-digit signal id");
    table[id] = convert((*value)[id], path + "." + id);
  }
  return table;
}

// A level: a whole number (0 leaves the signal unsupervised), the name of
// one ("warning", "major", "critical") or "off", which is 0.
// "\"warning\", \"major\", \"critical\"": the names of the levels.
std::string level_words() {
  std::string words;
  for (const readings::AlarmLevel& named : readings::kAlarmLevels)
    words += std::string(words.empty() ? "" : ", ") + "\"" + named.name + "\"";
  return words;
}

int parse_level(const Fields& unit, const Json::Value& level, const std::string& field) {
  if (!level.isString()) return unit.integer_value(level, field, unit.row("alarm_levels"));
  const std::string word = level.asString();
  if (word == readings::kLevelOff) return readings::kLevelUnsupervised;
  if (const auto named = readings::level_of_name(word)) return *named;
  unit.fail(field, "must be a level: a whole number, " + level_words() + " or \"" +
                       readings::kLevelOff + "\" (unsupervised)");
}

// Every alarm that the unit can raise at its default level, unless
// `given` (from the file) sets it; ids the table does not know stay as given.
std::map<std::string, int> supervised_levels(std::map<std::string, int> given) {
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    given.emplace(alarm.signal_id, alarm.default_level);
  return given;
}

// 1 to 32 of letters, digits, '-', '_' and '.': a name that is safe in a
// terminal, a log line, a file name and a topic.
bool is_unit_name(const std::string& name) {
  if (name.empty() || name.size() > kLongestUnitName) return false;
  for (const char c : name) {
    const bool letter_or_digit =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter_or_digit && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

// [MIN, MAX] within the field's range, MIN below MAX; its default when
// absent.
base::Range parse_range(Fields& limits, std::string_view key) {
  const Field& row = limits.row(key);
  const Json::Value* value = limits.optional(key);
  if (value == nullptr) return {row.number, row.number_high};
  const bool numbers =
      value->isArray() && value->size() == 2 && (*value)[0].isNumeric() && (*value)[1].isNumeric();
  if (!numbers || !((*value)[0].asDouble() >= row.low) || !((*value)[1].asDouble() <= row.high) ||
      !((*value)[0].asDouble() < (*value)[1].asDouble())) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", row.low, row.high);
    limits.fail(limits.path_of(key),
                std::string("must be [MIN, MAX], two numbers from ") + range + " with MIN < MAX");
  }
  return {(*value)[0].asDouble(), (*value)[1].asDouble()};
}

// Set points are whole degrees and whole percent, so the whole values
// within a range are the ones a command can ask for; Home Assistant's
// climate control offers them (rounded inwards: mqtt_messages.cpp) and
// drops the whole entity unless its humidity minimum is below its maximum.
void check_whole_values(Fields& limits, std::string_view key, const base::Range& range, int needed,
                        const std::string& whole_unit) {
  const double whole = std::floor(range.high) - std::ceil(range.low) + 1;
  if (whole >= needed) return;
  limits.fail(limits.path_of(key),
              needed == 1 ? "must hold a whole " + whole_unit + ": set points are whole numbers"
                          : "must hold two whole " + whole_unit +
                                " at least: set points are whole numbers, and Home "
                                "Assistant's lowest must be below its highest");
}

base::SetpointLimits parse_setpoint_limits(Fields& unit, const std::string& file) {
  base::SetpointLimits limits;
  const Json::Value* value = unit.optional("setpoint_limits");
  if (value == nullptr) return limits;
  Fields fields(*value, unit.path_of("setpoint_limits"), file, {"units[].setpoint_limits"});
  limits.temperature = parse_range(fields, "temperature");
  check_whole_values(fields, "temperature", limits.temperature, 1, "degree");
  limits.humidity = parse_range(fields, "humidity");
  check_whole_values(fields, "humidity", limits.humidity, 2, "percents");
  fields.reject_unknown();
  return limits;
}

std::vector<std::string> parse_ao_signal_ids(Fields& unit) {
  std::vector<std::string> ids;
  const Json::Value* value = unit.optional("ao_signal_ids");
  if (value == nullptr) return ids;
  const std::string path = unit.path_of("ao_signal_ids");
  if (!value->isArray()) unit.fail(path, "must be an array of signal ids");
  for (Json::ArrayIndex i = 0; i < value->size(); ++i) {
    const Json::Value& id = (*value)[i];
    if (!id.isString() || !is_signal_id(id.asString()))
      unit.fail(path + "[" + std::to_string(i) + "]", "must be a 12-digit signal id string");
    ids.push_back(id.asString());
  }
  return ids;
}

// 1 to 64 characters of UTF-8 without a control character: it names the
// unit in Home Assistant, on the page, in notifications and e-mail headers.
std::string parse_title(Fields& unit, const std::string& name) {
  const Json::Value* value = unit.optional("title");
  if (value == nullptr) return name;
  const std::string field = unit.path_of("title");
  if (!value->isString() || !base::valid_utf8(value->asString()))
    unit.fail(field, "must be a text of UTF-8");
  const std::string title = value->asString();
  size_t characters = 0;
  for (const unsigned char byte : title) {
    if (byte < 0x20 || byte == 0x7f) unit.fail(field, "must not hold a control character");
    if ((byte & 0xC0) != 0x80) ++characters;
  }
  if (characters == 0 || characters > kLongestUnitTitle)
    unit.fail(field, "must be 1 to " + std::to_string(kLongestUnitTitle) + " characters");
  return title;
}

UnitConfig parse_unit(const Json::Value& value, const std::string& path, const std::string& file) {
  Fields unit(value, path, file, {"units[]"});
  UnitConfig config;
  const Json::Value* name = unit.optional("name");
  if (name == nullptr) unit.fail(unit.path_of("name"), "is missing");
  if (!name->isString() || !is_unit_name(name->asString()))
    unit.fail(unit.path_of("name"), "must be 1 to 32 letters, digits, '-', '_' or '.'");
  config.name = name->asString();
  config.title = parse_title(unit, config.name);
  config.slave =
      unit.integer_value(unit.required("slave"), unit.path_of("slave"), unit.row("slave"));
  config.data_id = unit.integer("data_id");
  config.settings = parse_settings(unit);
  config.alarm_levels = supervised_levels(parse_signal_table<int>(
      unit, "alarm_levels",
      [&](const Json::Value& level, const std::string& field) {
        return parse_level(unit, level, field);
      },
      readings::kCommLostSignalId));
  // The gateway's own alarm: its level is the gateway's, not the device's.
  if (const auto own = config.alarm_levels.find(readings::kCommLostSignalId);
      own != config.alarm_levels.end()) {
    config.comm_lost_level = own->second;
    config.alarm_levels.erase(own);
  }
  config.alarm_thresholds = parse_signal_table<float>(
      unit, "alarm_thresholds", [&](const Json::Value& limit, const std::string& field) {
        if (!limit.isNumeric() || !std::isfinite(limit.asDouble()))
          unit.fail(field, "must be a number");
        return limit.asFloat();
      });
  config.ao_signal_ids = parse_ao_signal_ids(unit);
  config.setpoint_limits = parse_setpoint_limits(unit, file);
  unit.reject_unknown();
  return config;
}

// The units named so far, by the part of Home Assistant's ids that their
// names give (base::entity_part): "ac.1" and "ac_1" would share a device,
// its entities and their discovery topics.
using UnitNames = std::map<std::string, std::string>;

void check_name(Fields& owner, const std::string& path, const std::string& name, UnitNames& names) {
  const auto [first, added] = names.emplace(base::entity_part(name), name);
  if (added) return;
  if (first->second == name) owner.fail(path + ".name", "\"" + name + "\" names another unit too");
  owner.fail(path + ".name", "\"" + name + "\" and \"" + first->second +
                                 "\" come out the same in Home Assistant's ids (\"" + first->first +
                                 "\"): one unit would take the other's entities");
}

// The "units" of `owner` (the top level or an entry of "buses"); `names`
// holds the names of the buses before, since a name is the unit's across
// every bus. A slave address is unique on its bus only.
std::vector<UnitConfig> parse_units(Fields& owner, const std::string& file, UnitNames& names) {
  const Json::Value& units = owner.required("units");
  if (!units.isArray() || units.empty())
    owner.fail(owner.path_of("units"), "must be a non-empty array");
  std::vector<UnitConfig> parsed;
  std::set<int> slaves;
  for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
    const std::string path = owner.path_of("units") + "[" + std::to_string(i) + "]";
    parsed.push_back(parse_unit(units[i], path, file));
    check_name(owner, path, parsed.back().name, names);
    if (!slaves.insert(parsed.back().slave).second)
      owner.fail(path + ".slave",
                 std::to_string(parsed.back().slave) + " is another unit's address");
  }
  return parsed;
}

// The device a port's path stands for, so that two names of one device
// (a link in /dev/serial/by-id, say) are told to be the same port.
std::string device_of(const std::string& port) {
  char resolved[PATH_MAX];
  return ::realpath(port.c_str(), resolved) != nullptr ? resolved : port;
}

// "buses": [{line fields..., "port": PATH, "units": [...]}, ...]
std::vector<BusConfig> parse_buses(Fields& top, const std::string& file) {
  const Json::Value& list = top.required("buses");
  if (!list.isArray() || list.empty()) top.fail("buses", "must be a non-empty array");
  std::vector<BusConfig> buses;
  UnitNames names;
  std::map<std::string, std::string> ports;  // device -> the entry that has it
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    Fields entry(list[i], "buses[" + std::to_string(i) + "]", file, {"bus", "buses[]"});
    BusConfig bus;
    bus.settings = parse_line(entry);
    if (bus.settings.port.empty()) entry.fail(entry.path_of("port"), "is missing");
    const auto [first, added] = ports.emplace(device_of(bus.settings.port), entry.path_of("port"));
    if (!added)
      entry.fail(entry.path_of("port"), "\"" + bus.settings.port + "\" is the port of " +
                                            first->second + " too: one bus a port");
    bus.units = parse_units(entry, file, names);
    entry.reject_unknown();
    buses.push_back(std::move(bus));
  }
  return buses;
}

// Either "bus" with "units" (one bus) or "buses".
std::vector<BusConfig> parse_bus_list(Fields& top, const std::string& file) {
  const bool one = top.optional("bus") != nullptr || top.optional("units") != nullptr;
  if (top.optional("buses") != nullptr) {
    if (one)
      top.fail("buses", "give either \"bus\" with \"units\" (one bus) or \"buses\", not both");
    return parse_buses(top, file);
  }
  const Json::Value& value = top.required("bus");
  Fields line(value, "bus", file, {"bus"});
  BusConfig bus;
  bus.settings = parse_line(line);
  line.reject_unknown();
  UnitNames names;
  bus.units = parse_units(top, file, names);
  return {bus};
}

// "control": {"socket": PATH}
std::string parse_control(Fields& top, const std::string& file) {
  const Json::Value* value = top.optional("control");
  if (value == nullptr) return {};
  Fields control(*value, "control", file, {"control"});
  // Empty when absent: the service then takes the default.
  const std::string socket =
      control.optional("socket") == nullptr ? "" : resolve(control.text("socket"), file);
  control.reject_unknown();
  return socket;
}

HistoryOptions parse_history_options(Fields& top) {
  HistoryOptions options;
  options.keep_days = top.number("history_keep_days");
  options.synchronous_full = *top.choice("history_synchronous", kSynchronousFull);
  options.queue = top.integer("history_queue");
  options.max_mb = top.integer("history_max_mb");
  return options;
}

// Only a regular file of at most 1 MiB: a FIFO or a device such as
// /dev/zero is refused at once instead of holding the start up.
std::string read_file(const std::string& path) {
  auto fail = [&](const std::string& reason) -> ConfigError {
    return ConfigError(path + ": " + reason);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw fail(std::string("cannot be read: ") + std::strerror(errno));
  struct stat info {};
  std::string text;
  std::string problem;
  if (::fstat(fd, &info) != 0) {
    problem = std::string("cannot be read: ") + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
  } else {
    text.resize(static_cast<size_t>(kLargestFile) + 1);  // one more: a file that grew
    size_t got = 0;
    for (ssize_t count = 1; count > 0 && got < text.size(); got += static_cast<size_t>(count)) {
      count = ::read(fd, text.data() + got, text.size() - got);
      if (count < 0 && errno == EINTR) count = 0;
      if (count < 0) problem = std::string("cannot be read: ") + std::strerror(errno);
      if (count <= 0) break;
    }
    text.resize(got);
    if (got > static_cast<size_t>(kLargestFile)) problem = "is larger than 1 MiB";
  }
  ::close(fd);
  if (!problem.empty()) throw fail(problem);
  return text;
}

Json::Value parse_json(const std::string& text, const std::string& file) {
  // Each field's own check names a string that is not UTF-8 with the field.
  base::ParsedJson parsed =
      base::parse_json(text, {static_cast<size_t>(kLargestFile), kDeepestNesting, false});
  if (!parsed.ok()) throw ConfigError(file + ": not valid JSON: " + parsed.error);
  return std::move(parsed.value);
}

}  // namespace

const Field& Fields::row(std::string_view name) const {
  for (const std::string_view section : sections_)
    if (const Field* field = find_field(section, name)) return *field;
  throw std::logic_error(path_of(name) + " is not in the configuration's field table");
}

double Fields::number(std::string_view key) {
  const Field& field = row(key);
  const Json::Value* value = optional(key);
  if (value == nullptr) return field.number;
  if (!value->isNumeric() || !(value->asDouble() >= field.low) || value->asDouble() > field.high) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", field.low, field.high);
    fail(path_of(key), "must be a number of " + std::string(field.unit) + " from " + range);
  }
  return value->asDouble();
}

// "./" before a path that has no folder, so that the plug-in's is never
// searched for.
std::string resolve(const std::string& path, const std::string& file) {
  if (path.empty() || path[0] == '/') return path;
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? "./" + path : file.substr(0, slash + 1) + path;
}

bool same_line(const BusSettings& a, const BusSettings& b) {
  return a.port == b.port && a.baud == b.baud && a.parity == b.parity &&
         a.data_bits == b.data_bits && a.stop_bits == b.stop_bits &&
         a.serial_mode == b.serial_mode && a.rts == b.rts && a.rts_delay_us == b.rts_delay_us;
}

int alarm_level(const UnitConfig& unit, std::string_view signal_id) {
  if (signal_id == readings::kCommLostSignalId) return unit.comm_lost_level;
  const auto level = unit.alarm_levels.find(std::string(signal_id));
  if (level != unit.alarm_levels.end()) return level->second;
  const readings::AlarmRow* row = readings::alarm_row(signal_id);
  return row != nullptr ? row->default_level : readings::kLevelUnsupervised;
}

std::vector<UnitConfig> all_units(const Config& config) {
  std::vector<UnitConfig> units;
  for (const BusConfig& bus : config.buses)
    units.insert(units.end(), bus.units.begin(), bus.units.end());
  return units;
}

const BusConfig* bus_of(const Config& config, const std::string& unit) {
  for (const BusConfig& bus : config.buses)
    for (const UnitConfig& known : bus.units)
      if (known.name == unit) return &bus;
  return nullptr;
}

std::vector<std::string> unsupervised_signals(const UnitConfig& unit) {
  std::vector<std::string> ids;
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    if (alarm_level(unit, alarm.signal_id) == readings::kLevelUnsupervised)
      ids.push_back(alarm.signal_id);
  return ids;
}

bool operator==(const UnitConfig& a, const UnitConfig& b) {
  return a.name == b.name && a.title == b.title && a.slave == b.slave && a.data_id == b.data_id &&
         a.settings == b.settings && a.alarm_levels == b.alarm_levels &&
         a.alarm_thresholds == b.alarm_thresholds && a.ao_signal_ids == b.ao_signal_ids &&
         a.setpoint_limits == b.setpoint_limits && a.comm_lost_level == b.comm_lost_level;
}

Config parse_config(const std::string& text, const std::string& file) {
  const Json::Value root = parse_json(text, file);
  Fields top(root, "", file, {""});
  Config config;
  config.plugin = resolve(top.text("plugin"), file);
  config.history = resolve(top.text("history"), file);
  config.history_options = parse_history_options(top);
  config.interval_s = top.number("interval_s");
  config.buses = parse_bus_list(top, file);
  config.control_socket = parse_control(top, file);
  config.outputs = parse_outputs(top);
  top.reject_unknown();
  return config;
}

Config load_config(const std::string& path) { return parse_config(read_file(path), path); }

std::string read_control_socket(const std::string& path) {
  const Json::Value root = parse_json(read_file(path), path);
  const Json::Value& socket = root.isObject() ? root["control"] : Json::Value::nullSingleton();
  if (socket.isObject() && socket["socket"].isString() && !socket["socket"].asString().empty())
    return resolve(socket["socket"].asString(), path);
  return kDefaultControlSocket;
}

std::string command_line_path(const std::string& path) {
  return path.find('/') == std::string::npos && !path.empty() ? "./" + path : path;
}

}  // namespace gw::config
