#include "gateway/outputs/mqtt_discovery.h"

#include <cmath>
#include <cstring>

#include <json/value.h>

#include "gateway/base/unit_ids.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/reading_table.h"
#include "gateway/readings/render.h"

namespace gw::outputs::mqtt {
namespace {

struct Entity {
  const char* component;
  std::string object;  // the entity's part of its ids
  Json::Value config;
};

// The keys every entity has; `entity_id` without its domain.
Json::Value entity_common(const char* component, const std::string& unique_id,
                          const std::string& entity_id, const std::string& name) {
  Json::Value json(Json::objectValue);
  json["name"] = name;
  json["unique_id"] = unique_id;
  json["default_entity_id"] = std::string(component) + "." + entity_id;
  json["object_id"] = entity_id;  // read by releases before default_entity_id
  return json;
}

// The gateway's status first: with the gateway gone (its last will), every
// entity of its units is unavailable, whatever else was retained.
Json::Value availability(const Topics& topics, const std::string& unit, bool with_unit) {
  Json::Value list(Json::arrayValue);
  list.append(Json::Value(Json::objectValue))["topic"] = topics.status();
  if (with_unit)
    list.append(Json::Value(Json::objectValue))["topic"] = topics.unit(unit, "availability");
  return list;
}

Json::Value unit_device(const Discovery& discovery, const UnitEntities& unit) {
  Json::Value device(Json::objectValue);
  device["identifiers"].append(discovery.node + "_" + base::id_part(unit.name));
  device["name"] = unit.title.empty() ? unit.name : unit.title;
  device["model"] = "Precision air conditioner";
  device["manufacturer"] = "norvane";
  device["via_device"] = discovery.node;
  return device;
}

Entity unit_entity(const Discovery& discovery, const Topics& topics, const UnitEntities& unit,
                   const char* component, const std::string& object, const std::string& name,
                   bool with_unit) {
  Entity entity{
      component, object,
      entity_common(component, discovery.node + "_" + base::id_part(unit.name) + "_" + object,
                    base::entity_part(unit.name) + "_" + object, name)};
  entity.config["availability"] = availability(topics, unit.name, with_unit);
  entity.config["availability_mode"] = "all";
  entity.config["device"] = unit_device(discovery, unit);
  return entity;
}

bool same_values(const readings::ValueNames& a, const readings::ValueNames& b) {
  return a.first.code == b.first.code && a.second.code == b.second.code &&
         std::strcmp(a.first.name, b.first.name) == 0 &&
         std::strcmp(a.second.name, b.second.name) == 0;
}

// A machine part's run state: off/on or stopped/running.
bool is_running_state(const readings::ReadingRow& row) {
  return row.kind == readings::ReadingKind::kEnumeration &&
         (same_values(row.values, readings::rows::kSwitch) ||
          same_values(row.values, readings::rows::kRunState));
}

// A control band around a set point: a difference of temperatures or of
// humidities, not one.
bool is_band(const readings::ReadingRow& row) {
  return std::strstr(row.name, "precision") != nullptr;
}

// The unit's settings (set points, bands, its own limits): values that it
// is set to, which stay out of long-term statistics.
bool is_setting(const readings::ReadingRow& row) {
  return std::strncmp(row.name, "set_", 4) == 0 || is_band(row) ||
         std::strstr(row.name, "_limit") != nullptr;
}

// The alarm that watches a flag, or nullptr.
const readings::AlarmRow* alarm_of_flag(const readings::ReadingRow& row) {
  if (row.kind != readings::ReadingKind::kFlag) return nullptr;
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    if (alarm.reading != nullptr && std::strcmp(alarm.reading, row.name) == 0) return &alarm;
  return nullptr;
}

// Whether an alarm's condition shows as a flag of its own (the flag's
// entity carries the alarm).
bool has_flag(const readings::AlarmRow& alarm) {
  const readings::ReadingRow* row =
      alarm.reading != nullptr ? readings::reading_row(alarm.reading) : nullptr;
  return row != nullptr && alarm_of_flag(*row) == &alarm;
}

std::string raised_test(const readings::AlarmRow& alarm) {
  return std::string("value_json | selectattr('signal_id', 'equalto', '") + alarm.signal_id +
         "') | list | length > 0";
}

// The alarm as attributes, from the unit's active alarms: its signal id,
// the level it is supervised at and its name, and whether it is raised.
void alarm_attributes(Json::Value& json, const Topics& topics, const UnitEntities& unit,
                      const readings::AlarmRow& alarm) {
  const auto configured = unit.alarm_levels.find(alarm.signal_id);
  const int level =
      configured != unit.alarm_levels.end() ? configured->second : alarm.default_level;
  json["json_attributes_topic"] = topics.unit(unit.name, "alarms");
  json["json_attributes_template"] = std::string("{{ {'signal_id': '") + alarm.signal_id +
                                     "', 'level': " + std::to_string(level) + ", 'level_name': '" +
                                     readings::level_name(level) + "', 'alarm': 'raised' if " +
                                     raised_test(alarm) + " else 'clear'} | tojson }}";
}

Entity reading_entity(const Discovery& discovery, const Topics& topics, const UnitEntities& unit,
                      const readings::ReadingRow& row) {
  const std::string value = std::string("value_json.readings.") + row.name;
  const bool binary = row.kind == readings::ReadingKind::kFlag || is_running_state(row);
  Entity entity = unit_entity(discovery, topics, unit, binary ? "binary_sensor" : "sensor",
                              row.name, row.description, true);
  Json::Value& json = entity.config;
  json["state_topic"] = topics.unit(unit.name, "state");
  if (row.kind == readings::ReadingKind::kFlag) {
    json["value_template"] = "{{ 'ON' if " + value + " else 'OFF' }}";
    json["device_class"] = "problem";
    if (const readings::AlarmRow* alarm = alarm_of_flag(row))
      alarm_attributes(json, topics, unit, *alarm);
    return entity;
  }
  if (is_running_state(row)) {
    json["value_template"] =
        "{{ 'ON' if " + value + " == '" + row.values.second.name + "' else 'OFF' }}";
    json["device_class"] = "running";
    return entity;
  }
  json["value_template"] = "{{ " + value + " }}";
  if (row.kind != readings::ReadingKind::kNumber) return entity;
  if (row.unit != readings::MeasureUnit::kNone)
    json["unit_of_measurement"] = readings::unit_symbol(row.unit);
  // Temperatures and humidities are absolute values to Home Assistant (it
  // converts C to F): a band, a difference, has no such class.
  if (row.unit == readings::MeasureUnit::kCelsius && !is_band(row))
    json["device_class"] = "temperature";
  if (row.unit == readings::MeasureUnit::kPercent && !is_band(row))
    json["device_class"] = "humidity";
  if (row.unit == readings::MeasureUnit::kSeconds) json["device_class"] = "duration";
  if (!is_setting(row))
    json["state_class"] =
        row.unit == readings::MeasureUnit::kSeconds ? "total_increasing" : "measurement";
  if (is_band(row) || std::strstr(row.name, "_limit") != nullptr ||
      std::strcmp(row.name, "heartbeat") == 0)
    json["entity_category"] = "diagnostic";
  return entity;
}

// The limit alarms and the loss of communication: the others show as the
// flag they watch.
Entity alarm_entity(const Discovery& discovery, const Topics& topics, const UnitEntities& unit,
                    const readings::AlarmRow& alarm) {
  const bool comm_lost = std::string(alarm.signal_id) == readings::kCommLostSignalId;
  // The loss of communication must show while the unit is unavailable.
  Entity entity =
      unit_entity(discovery, topics, unit, "binary_sensor", std::string("alarm_") + alarm.signal_id,
                  comm_lost ? "Communication" : alarm.title, !comm_lost);
  Json::Value& json = entity.config;
  json["state_topic"] = topics.unit(unit.name, "alarms");
  // connectivity: ON means connected
  json["value_template"] = "{{ '" + std::string(comm_lost ? "OFF" : "ON") + "' if " +
                           raised_test(alarm) + " else '" + (comm_lost ? "ON" : "OFF") + "' }}";
  json["device_class"] = comm_lost ? "connectivity" : "problem";
  alarm_attributes(json, topics, unit, alarm);
  return entity;
}

// The set points that the unit takes bound Home Assistant's controls. The
// command topics take whole degrees C (temp_step 1) and whole percent (the
// humidity control moves in steps of 1), so a fractional limit is rounded
// inwards: every value offered is one the unit takes. The configuration
// makes sure that the minimum stays at most the maximum (below it for the
// humidity).
void bound(Json::Value& json, const char* min_key, const char* max_key, const base::Range& range) {
  json[min_key] = static_cast<Json::Int>(std::ceil(range.low));
  json[max_key] = static_cast<Json::Int>(std::floor(range.high));
}

Entity climate_entity(const Discovery& discovery, const Topics& topics, const UnitEntities& unit) {
  Entity entity =
      unit_entity(discovery, topics, unit, "climate", "climate", "Air conditioner", true);
  Json::Value& json = entity.config;
  const std::string state = topics.unit(unit.name, "state");
  json["modes"].append("off");
  json["modes"].append("auto");
  json["mode_command_topic"] = topics.unit(unit.name, "set/mode");
  json["mode_state_topic"] = state;
  json["mode_state_template"] =
      "{{ 'auto' if value_json.readings.unit_on_off == 'on' else 'off' }}";
  json["power_command_topic"] = topics.unit(unit.name, "set/power");
  json["temperature_command_topic"] = topics.unit(unit.name, "set/temperature");
  json["temperature_state_topic"] = state;
  json["temperature_state_template"] = "{{ value_json.readings.set_temperature }}";
  json["current_temperature_topic"] = state;
  json["current_temperature_template"] = "{{ value_json.readings.return_air_temperature }}";
  json["target_humidity_command_topic"] = topics.unit(unit.name, "set/humidity");
  json["target_humidity_state_topic"] = state;
  json["target_humidity_state_template"] = "{{ value_json.readings.set_humidity }}";
  json["current_humidity_topic"] = state;
  json["current_humidity_template"] = "{{ value_json.readings.return_air_humidity }}";
  json["temperature_unit"] = "C";
  bound(json, "min_temp", "max_temp", unit.limits.temperature);
  json["temp_step"] = 1;
  bound(json, "min_humidity", "max_humidity", unit.limits.humidity);
  json["precision"] = 0.1;
  return entity;
}

std::vector<Entity> unit_entities(const Discovery& discovery, const Topics& topics,
                                  const UnitEntities& unit) {
  std::vector<Entity> entities;
  for (int i = 0; i < readings::kWordReadingCount; ++i)
    entities.push_back(reading_entity(discovery, topics, unit, readings::kReadingRows[i]));
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    if (!has_flag(alarm)) entities.push_back(alarm_entity(discovery, topics, unit, alarm));
  if (discovery.commands) entities.push_back(climate_entity(discovery, topics, unit));
  return entities;
}

// What earlier releases announced that this one does not: an alarm twin
// of each flag, a text sensor of each running state.
std::vector<Entity> retired_entities() {
  std::vector<Entity> retired;
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    if (has_flag(alarm))
      retired.push_back({"binary_sensor", std::string("alarm_") + alarm.signal_id, {}});
  for (int i = 0; i < readings::kWordReadingCount; ++i)
    if (is_running_state(readings::kReadingRows[i]))
      retired.push_back({"sensor", readings::kReadingRows[i].name, {}});
  return retired;
}

std::string config_topic(const Discovery& discovery, const Entity& entity,
                         const std::string& unit) {
  return discovery.prefix + "/" + entity.component + "/" + discovery.node + "/" +
         base::id_part(unit) + "_" + entity.object + "/config";
}

}  // namespace

std::vector<Announcement> gateway_announcements(const Discovery& discovery, const Topics& topics) {
  Json::Value json = entity_common("binary_sensor", discovery.node + "_status",
                                   base::entity_part(discovery.node) + "_status", "Status");
  json["state_topic"] = topics.status();
  json["payload_on"] = "online";
  json["payload_off"] = "offline";
  json["device_class"] = "connectivity";
  json["entity_category"] = "diagnostic";
  Json::Value& device = json["device"] = Json::Value(Json::objectValue);
  device["identifiers"].append(discovery.node);
  device["name"] = discovery.node;
  device["model"] = "Modbus RTU gateway";
  device["manufacturer"] = "norvane";
  device["sw_version"] = discovery.version;
  return {{discovery.prefix + "/binary_sensor/" + discovery.node + "/status/config",
           readings::json_text(json)}};
}

std::vector<Announcement> unit_announcements(const Discovery& discovery, const Topics& topics,
                                             const UnitEntities& unit) {
  std::vector<Announcement> announcements;
  for (const Entity& entity : unit_entities(discovery, topics, unit))
    announcements.push_back(
        {config_topic(discovery, entity, unit.name), readings::json_text(entity.config)});
  for (const Entity& entity : retired_entities())
    announcements.push_back({config_topic(discovery, entity, unit.name), ""});
  return announcements;
}

std::vector<Announcement> unit_withdrawals(const Discovery& discovery, const std::string& unit) {
  Discovery every = discovery;
  every.commands = true;  // the climate entity too, whether or not it was announced
  std::vector<Announcement> withdrawals;
  for (const Entity& entity : unit_entities(every, Topics{}, UnitEntities{unit, unit, {}, {}}))
    withdrawals.push_back({config_topic(every, entity, unit), ""});
  for (const Entity& entity : retired_entities())
    withdrawals.push_back({config_topic(every, entity, unit), ""});
  return withdrawals;
}

}  // namespace gw::outputs::mqtt
