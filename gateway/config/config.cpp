#include "gateway/config/config.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "gateway/base/json_parse.h"
#include "gateway/config/fields.h"
#include "gateway/config/output_config.h"
#include "gateway/config/serial_speeds.h"
#include "gateway/config/unit_fields.h"

namespace gw::config {
namespace {

constexpr long kLargestFile = 1024 * 1024;
constexpr int kDeepestNesting = 1000;  // JsonCpp's own default limit

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
