#include "gateway/config/config.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include <json/reader.h>

#include "gateway/config/fields.h"
#include "gateway/config/output_config.h"

namespace gw {
namespace {

bool is_signal_id(const std::string& id) {
  return id.size() == 12 && id.find_first_not_of("0123456789") == std::string::npos;
}

char parity_letter(Fields& bus) {
  const std::string parity = bus.text("parity", "none");
  if (parity == "none") return 'N';
  if (parity == "even") return 'E';
  if (parity == "odd") return 'O';
  bus.fail(bus.path_of("parity"), "must be \"none\", \"even\" or \"odd\"");
}

BusSettings parse_bus(const Json::Value& value, const std::string& file) {
  Fields bus(value, "bus", file);
  BusSettings settings;
  settings.port = bus.text("port", "");
  settings.baud = bus.integer("baud", 50, 4000000, settings.baud);
  settings.parity = parity_letter(bus);
  settings.data_bits = bus.integer("data_bits", 5, 8, settings.data_bits);
  settings.stop_bits = bus.integer("stop_bits", 1, 2, settings.stop_bits);
  settings.response_timeout_ms =
      bus.integer("response_timeout_ms", 1, 60000, settings.response_timeout_ms);
  settings.retries = bus.integer("retries", 0, 10, settings.retries);
  bus.reject_unknown();
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

template <typename Number, typename Convert>
std::map<std::string, Number> parse_signal_table(Fields& unit, const std::string& key,
                                                 Convert convert) {
  std::map<std::string, Number> table;
  const Json::Value* value = unit.optional(key);
  if (value == nullptr) return table;
  const std::string path = unit.path_of(key);
  if (!value->isObject()) unit.fail(path, "must be an object of signal id to value");
  for (const std::string& id : value->getMemberNames()) {
    if (!is_signal_id(id)) unit.fail(path + "." + id, "is not a 12-digit signal id");
    table[id] = convert((*value)[id], path + "." + id);
  }
  return table;
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

UnitConfig parse_unit(const Json::Value& value, const std::string& path, const std::string& file) {
  Fields unit(value, path, file);
  UnitConfig config;
  config.name = unit.text("name", "");
  if (config.name.empty()) unit.fail(unit.path_of("name"), "is missing");
  if (config.name.find_first_of(" \t\r\n") != std::string::npos)
    unit.fail(unit.path_of("name"), "must not contain white space");
  config.slave = unit.integer_value(unit.required("slave"), unit.path_of("slave"), 1, 247);
  config.data_id = unit.integer("data_id", INT32_MIN, INT32_MAX, 0);
  config.settings = parse_settings(unit);
  config.alarm_levels = parse_signal_table<int>(
      unit, "alarm_levels", [&](const Json::Value& level, const std::string& field) {
        return unit.integer_value(level, field, INT32_MIN, INT32_MAX);
      });
  config.alarm_thresholds = parse_signal_table<float>(
      unit, "alarm_thresholds", [&](const Json::Value& limit, const std::string& field) {
        if (!limit.isNumeric() || !std::isfinite(limit.asDouble()))
          unit.fail(field, "must be a number");
        return limit.asFloat();
      });
  config.ao_signal_ids = parse_ao_signal_ids(unit);
  unit.reject_unknown();
  return config;
}

std::vector<UnitConfig> parse_units(Fields& top, const std::string& file) {
  const Json::Value& units = top.required("units");
  if (!units.isArray() || units.empty()) top.fail("units", "must be a non-empty array");
  std::vector<UnitConfig> parsed;
  std::set<std::string> names;
  std::set<int> slaves;
  for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
    const std::string path = "units[" + std::to_string(i) + "]";
    parsed.push_back(parse_unit(units[i], path, file));
    if (!names.insert(parsed.back().name).second)
      top.fail(path + ".name", "\"" + parsed.back().name + "\" names another unit too");
    if (!slaves.insert(parsed.back().slave).second)
      top.fail(path + ".slave", std::to_string(parsed.back().slave) + " is another unit's address");
  }
  return parsed;
}

// "control": {"socket": PATH}
std::string parse_control(Fields& top, const std::string& file) {
  const Json::Value* value = top.optional("control");
  if (value == nullptr) return {};
  Fields control(*value, "control", file);
  const std::string socket = resolve(control.text("socket", ""), file);
  control.reject_unknown();
  return socket;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Json::Value parse_json(const std::string& text, const std::string& file) {
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
    throw ConfigError(file + ": not valid JSON: " + errors);
  return root;
}

}  // namespace

double Fields::number(const std::string& key, double low, double high, double fallback,
                      const char* unit) {
  const Json::Value* value = optional(key);
  if (value == nullptr) return fallback;
  if (!value->isNumeric() || !(value->asDouble() >= low) || value->asDouble() > high) {
    char range[96];
    std::snprintf(range, sizeof range, "must be a number of %s from %g to %g", unit, low, high);
    fail(path_of(key), range);
  }
  return value->asDouble();
}

std::string resolve(const std::string& path, const std::string& file) {
  if (path.empty() || path[0] == '/') return path;
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? path : file.substr(0, slash + 1) + path;
}

bool same_line(const BusSettings& a, const BusSettings& b) {
  return a.port == b.port && a.baud == b.baud && a.parity == b.parity &&
         a.data_bits == b.data_bits && a.stop_bits == b.stop_bits;
}

bool operator==(const UnitConfig& a, const UnitConfig& b) {
  return a.name == b.name && a.slave == b.slave && a.data_id == b.data_id &&
         a.settings == b.settings && a.alarm_levels == b.alarm_levels &&
         a.alarm_thresholds == b.alarm_thresholds && a.ao_signal_ids == b.ao_signal_ids;
}

Config parse_config(const std::string& text, const std::string& file) {
  const Json::Value root = parse_json(text, file);
  Fields top(root, "", file);
  Config config;
  config.plugin = resolve(top.text("plugin", ""), file);
  config.history = resolve(top.text("history", ""), file);
  if (const Json::Value* interval = top.optional("interval_s")) {
    if (!interval->isNumeric() || !(interval->asDouble() >= 0) || interval->asDouble() > 86400)
      top.fail("interval_s", "must be a number of seconds from 0 to 86400");
    config.interval_s = interval->asDouble();
  }
  config.bus = parse_bus(top.required("bus"), file);
  config.units = parse_units(top, file);
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

}  // namespace gw
