#include "gateway/config/unit_fields.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "gateway/base/unit_ids.h"
#include "gateway/base/utf8.h"
#include "gateway/readings/alarm_table.h"

namespace gw::config {
namespace {

constexpr size_t kLongestUnitName = 32;
constexpr size_t kLongestUnitTitle = 64;  // characters

bool is_signal_id(const std::string& id) {
  return id.size() == 12 && id.find_first_not_of("0123456789") == std::string::npos;
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

// "\"warning\", \"major\", \"critical\"": the names of the levels.
std::string level_words() {
  std::string words;
  for (const readings::AlarmLevel& named : readings::kAlarmLevels)
    words += std::string(words.empty() ? "" : ", ") + "\"" + named.name + "\"";
  return words;
}

// A level: a whole number (0 leaves the signal unsupervised), the name of
// one ("warning", "major", "critical") or "off", which is 0.
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

void check_name(Fields& owner, const std::string& path, const std::string& name, UnitNames& names) {
  const auto [first, added] = names.emplace(base::entity_part(name), name);
  if (added) return;
  if (first->second == name) owner.fail(path + ".name", "\"" + name + "\" names another unit too");
  owner.fail(path + ".name", "\"" + name + "\" and \"" + first->second +
                                 "\" come out the same in Home Assistant's ids (\"" + first->first +
                                 "\"): one unit would take the other's entities");
}

}  // namespace

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

int alarm_level(const UnitConfig& unit, std::string_view signal_id) {
  if (signal_id == readings::kCommLostSignalId) return unit.comm_lost_level;
  const auto level = unit.alarm_levels.find(std::string(signal_id));
  if (level != unit.alarm_levels.end()) return level->second;
  const readings::AlarmRow* row = readings::alarm_row(signal_id);
  return row != nullptr ? row->default_level : readings::kLevelUnsupervised;
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

}  // namespace gw::config
