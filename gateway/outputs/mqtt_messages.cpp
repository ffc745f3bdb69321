#include "gateway/outputs/mqtt_messages.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "gateway/base/iso_time.h"
#include "gateway/base/utf8.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/render.h"

namespace gw::outputs::mqtt {
namespace {

// A command's payload is a few characters ("24", "OFF"); a longer one is
// refused unread, so that no conversion runs over megabytes.
constexpr size_t kLongestCommandPayload = 64;
// How much of a refused payload its refusal quotes.
constexpr size_t kQuotedPayloadBytes = 32;

std::string text(const Json::Value& value) { return readings::json_text(value); }

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool topic_safe(const std::string& unit) {
  return !unit.empty() && unit.find_first_of("/+#") == std::string::npos &&
         unit.find('\0') == std::string::npos && base::valid_utf8(unit);
}

std::string state_payload(const state::RoundCompleted& round) {
  Json::Value json = round_json(round);
  json["fresh"] = true;
  return text(json);
}

std::string state_payload(const UnitView& view) {
  const state::UnitState& unit = *view.unit;
  Json::Value json(Json::objectValue);
  json["unit"] = unit.name;
  json["time"] = time_json(unit.last_round_at);
  json["round"] = Json::Int64(unit.counters.completed);
  json["state"] = status_name(unit.status);
  json["fresh"] = view.fresh;
  json["readings"] = view.readings ? readings::readings_json(*view.readings) : Json::Value();
  Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
  for (const state::ActiveAlarm& alarm : unit.alarms) alarms.append(alarm_json(alarm));
  return text(json);
}

std::string alarms_payload(const std::vector<state::ActiveAlarm>& alarms) {
  Json::Value json(Json::arrayValue);
  for (const state::ActiveAlarm& alarm : alarms) json.append(alarm_json(alarm));
  return text(json);
}

std::string alarm_event_payload(const state::AlarmChanged& change) {
  Json::Value json = alarm_json({change.signal_id,
                                 change.level,
                                 change.title,
                                 change.detail,
                                 {},
                                 change.value,
                                 change.limit});
  json.removeMember("since");
  json["unit"] = change.unit;
  json["time"] = base::iso_time(change.at);
  json["state"] = change.raised ? "raised" : "cleared";
  return text(json);
}

std::string command_payload(const std::string& unit, base::SystemTime at,
                            const std::string& command, const std::string& outcome, bool done,
                            const std::string& detail) {
  Json::Value json(Json::objectValue);
  json["unit"] = unit;
  json["time"] = base::iso_time(at);
  json["command"] = command;
  json["outcome"] = outcome;
  json["done"] = done;
  if (!detail.empty()) json["detail"] = detail;
  return text(json);
}

std::optional<ReceivedCommand> parse_command(const Topics& topics, const std::string& topic,
                                             const std::string& payload) {
  const std::string start = topics.base + "/";
  if (topic.rfind(start, 0) != 0) return std::nullopt;
  const std::string rest = topic.substr(start.size());
  const size_t slash = rest.find("/set/");
  if (slash == std::string::npos || slash == 0) return std::nullopt;
  ReceivedCommand received;
  received.unit = rest.substr(0, slash);
  const std::string what = rest.substr(slash + 5);
  if (payload.size() > kLongestCommandPayload) {
    received.error = "set/" + what + " takes a payload of at most " +
                     std::to_string(kLongestCommandPayload) + " bytes, not " +
                     std::to_string(payload.size());
    return received;
  }
  const std::string value = lower(payload);
  if (what == "temperature" || what == "humidity") {
    const base::CommandKind kind = what == "temperature" ? base::CommandKind::kSetTemperature
                                                         : base::CommandKind::kSetHumidity;
    // The payload may be any bytes: the reason quotes them as UTF-8.
    const base::SetpointValue setpoint = base::setpoint_value(kind, payload);
    if (setpoint.value)
      received.command = base::Command{kind, *setpoint.value};
    else
      received.error = "set/" + what + ": " + setpoint.why;
  } else if (what == "power" || what == "mode") {
    const bool on = value == (what == "power" ? "on" : "auto");
    const bool off = value == "off";
    if (on || off)
      received.command =
          base::Command{on ? base::CommandKind::kUnitOn : base::CommandKind::kUnitOff, 0};
    else
      received.error = what == "power" ? "set/power takes ON or OFF" : "set/mode takes auto or off";
  } else {
    received.error = "no command set/" + base::utf8_excerpt(what, kQuotedPayloadBytes) +
                     " (temperature, humidity, power, mode)";
  }
  return received;
}

std::string node_id(const std::string& text) {
  std::string id;
  for (const char c : text)
    id += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  return id;
}

namespace {

struct Entity {
  const char* component;
  std::string object;  // the entity's part of its ids
  Json::Value config;
};

Json::Value availability(const Topics& topics, const std::string& unit, bool with_unit) {
  Json::Value list(Json::arrayValue);
  list.append(Json::Value(Json::objectValue))["topic"] = topics.status();
  if (with_unit)
    list.append(Json::Value(Json::objectValue))["topic"] = topics.unit(unit, "availability");
  return list;
}

Json::Value entity(const Discovery& discovery, const Topics& topics, const std::string& unit,
                   const std::string& object, const std::string& name, bool with_unit) {
  Json::Value json(Json::objectValue);
  json["name"] = name;
  json["unique_id"] = discovery.node + "_" + node_id(unit) + "_" + object;
  json["object_id"] = node_id(unit) + "_" + object;
  json["availability"] = availability(topics, unit, with_unit);
  json["availability_mode"] = "all";
  Json::Value& device = json["device"] = Json::Value(Json::objectValue);
  device["identifiers"].append(discovery.node + "_" + node_id(unit));
  device["name"] = unit;
  device["model"] = "Precision air conditioner";
  device["manufacturer"] = "norvane";
  device["via_device"] = discovery.node;
  return json;
}

Json::Value reading_entity(const Discovery& discovery, const Topics& topics,
                           const std::string& unit, const readings::ReadingRow& row) {
  Json::Value json = entity(discovery, topics, unit, row.name, row.description, true);
  json["state_topic"] = topics.unit(unit, "state");
  const std::string value = std::string("value_json.readings.") + row.name;
  if (row.kind == readings::ReadingKind::kFlag) {
    json["value_template"] = "{{ 'ON' if " + value + " else 'OFF' }}";
    json["device_class"] = "problem";
    return json;
  }
  json["value_template"] = "{{ " + value + " }}";
  if (row.kind != readings::ReadingKind::kNumber) return json;
  json["unit_of_measurement"] = readings::unit_symbol(row.unit);
  json["state_class"] =
      row.unit == readings::MeasureUnit::kSeconds ? "total_increasing" : "measurement";
  if (row.unit == readings::MeasureUnit::kCelsius) json["device_class"] = "temperature";
  if (row.unit == readings::MeasureUnit::kPercent) json["device_class"] = "humidity";
  if (row.unit == readings::MeasureUnit::kSeconds) json["device_class"] = "duration";
  if (row.unit == readings::MeasureUnit::kNone) json.removeMember("unit_of_measurement");
  // The set points' bands and the unit's own limits are settings.
  const std::string name = row.name;
  if (name.find("precision") != std::string::npos || name.find("limit") != std::string::npos ||
      name == "heartbeat")
    json["entity_category"] = "diagnostic";
  return json;
}

Json::Value alarm_entity(const Discovery& discovery, const Topics& topics, const std::string& unit,
                         const readings::AlarmRow& alarm) {
  const bool comm_lost = std::string(alarm.signal_id) == readings::kCommLostSignalId;
  const std::string object = std::string("alarm_") + alarm.signal_id;
  // The loss of communication must show while the unit is unavailable.
  Json::Value json =
      entity(discovery, topics, unit, object, std::string("Alarm: ") + alarm.title, !comm_lost);
  json["state_topic"] = topics.unit(unit, "alarms");
  json["value_template"] =
      std::string("{{ 'ON' if value_json | selectattr('signal_id', 'equalto', '") +
      alarm.signal_id + "') | list | length > 0 else 'OFF' }}";
  json["device_class"] = comm_lost ? "connectivity" : "problem";
  if (comm_lost) {  // connectivity: ON means connected
    json["name"] = "Communication";
    json["value_template"] = std::string(
                                 "{{ 'OFF' if value_json | selectattr('signal_id', "
                                 "'equalto', '") +
                             alarm.signal_id + "') | list | length > 0 else 'ON' }}";
  }
  return json;
}

// The set points that the unit takes bound Home Assistant's controls. The
// command topics take whole degrees C (temp_step 1) and whole percent (the
// humidity control moves in steps of 1), so a fractional limit is rounded
// inwards: every value offered is one the unit takes.
void bound(Json::Value& json, const char* min_key, const char* max_key, const base::Range& range) {
  json[min_key] = static_cast<Json::Int>(std::ceil(range.low));
  json[max_key] = static_cast<Json::Int>(std::floor(range.high));
}

Json::Value climate_entity(const Discovery& discovery, const Topics& topics,
                           const std::string& unit, const base::SetpointLimits& limits) {
  Json::Value json = entity(discovery, topics, unit, "climate", "Air conditioner", true);
  const std::string state = topics.unit(unit, "state");
  json["modes"].append("off");
  json["modes"].append("auto");
  json["mode_command_topic"] = topics.unit(unit, "set/mode");
  json["mode_state_topic"] = state;
  json["mode_state_template"] =
      "{{ 'auto' if value_json.readings.unit_on_off == 'on' else 'off' }}";
  json["power_command_topic"] = topics.unit(unit, "set/power");
  json["temperature_command_topic"] = topics.unit(unit, "set/temperature");
  json["temperature_state_topic"] = state;
  json["temperature_state_template"] = "{{ value_json.readings.set_temperature }}";
  json["current_temperature_topic"] = state;
  json["current_temperature_template"] = "{{ value_json.readings.return_air_temperature }}";
  json["target_humidity_command_topic"] = topics.unit(unit, "set/humidity");
  json["target_humidity_state_topic"] = state;
  json["target_humidity_state_template"] = "{{ value_json.readings.set_humidity }}";
  json["current_humidity_topic"] = state;
  json["current_humidity_template"] = "{{ value_json.readings.return_air_humidity }}";
  json["temperature_unit"] = "C";
  bound(json, "min_temp", "max_temp", limits.temperature);
  json["temp_step"] = 1;
  bound(json, "min_humidity", "max_humidity", limits.humidity);
  json["precision"] = 0.1;
  return json;
}

std::vector<Entity> unit_entities(const Discovery& discovery, const Topics& topics,
                                  const std::string& unit, const base::SetpointLimits& limits) {
  std::vector<Entity> entities;
  for (int i = 0; i < readings::kWordReadingCount; ++i) {
    const readings::ReadingRow& row = readings::kReadingRows[i];
    entities.push_back({row.kind == readings::ReadingKind::kFlag ? "binary_sensor" : "sensor",
                        row.name, reading_entity(discovery, topics, unit, row)});
  }
  for (const readings::AlarmRow& alarm : readings::kAlarmRows)
    entities.push_back({"binary_sensor", std::string("alarm_") + alarm.signal_id,
                        alarm_entity(discovery, topics, unit, alarm)});
  if (discovery.commands)
    entities.push_back({"climate", "climate", climate_entity(discovery, topics, unit, limits)});
  return entities;
}

std::string config_topic(const Discovery& discovery, const Entity& entity,
                         const std::string& unit) {
  return discovery.prefix + "/" + entity.component + "/" + discovery.node + "/" + node_id(unit) +
         "_" + entity.object + "/config";
}

}  // namespace

std::vector<Announcement> unit_announcements(const Discovery& discovery, const Topics& topics,
                                             const std::string& unit,
                                             const base::SetpointLimits& limits) {
  std::vector<Announcement> announcements;
  for (const Entity& entity : unit_entities(discovery, topics, unit, limits))
    announcements.push_back({config_topic(discovery, entity, unit), text(entity.config)});
  return announcements;
}

std::vector<Announcement> unit_withdrawals(const Discovery& discovery, const std::string& unit) {
  Discovery every = discovery;
  every.commands = true;  // the climate entity too, whether or not it was announced
  std::vector<Announcement> withdrawals;
  for (const Entity& entity : unit_entities(every, Topics{}, unit, base::SetpointLimits{}))
    withdrawals.push_back({config_topic(every, entity, unit), ""});
  return withdrawals;
}

}  // namespace gw::outputs::mqtt
