#include "gateway/config/effective.h"

#include <array>
#include <stdexcept>
#include <string>

namespace gw::config {
namespace {

// Sets the field `name` of `section` on `object`, a field of the table only.
void put(Json::Value& object, std::string_view section, std::string_view name, Json::Value value) {
  if (find_field(section, name) == nullptr)
    throw std::logic_error(std::string(section) + "." + std::string(name) +
                           " is not in the configuration's field table");
  object[std::string(name)] = std::move(value);
}

// The table's text of a choice's value.
template <typename Value, size_t count>
Json::Value choice_text(std::string_view section, std::string_view name,
                        const std::array<Value, count>& values, const Value& value) {
  for (size_t i = 0; i < count; ++i)
    if (values[i] == value) return std::string(field(section, name).choices[i]);
  throw std::logic_error(std::string(name) + ": a value without a choice");
}

template <typename Value>
Json::Value optional_value(const std::optional<Value>& value) {
  return value ? Json::Value(*value) : Json::Value();
}

Json::Value range(const base::Range& range) {
  Json::Value pair(Json::arrayValue);
  pair.append(range.low);
  pair.append(range.high);
  return pair;
}

Json::Value unit_json(const UnitConfig& unit) {
  Json::Value object(Json::objectValue);
  put(object, "units[]", "name", unit.name);
  put(object, "units[]", "title", unit.title);
  put(object, "units[]", "slave", unit.slave);
  put(object, "units[]", "data_id", unit.data_id);
  put(object, "units[]", "settings", unit.settings);
  Json::Value levels(Json::objectValue);
  for (const auto& [id, level] : unit.alarm_levels) levels[id] = level;
  put(levels, "units[].alarm_levels", "comm_lost", unit.comm_lost_level);
  put(object, "units[]", "alarm_levels", levels);
  Json::Value limits(Json::objectValue);
  for (const auto& [id, limit] : unit.alarm_thresholds) limits[id] = limit;
  put(object, "units[]", "alarm_thresholds", limits);
  Json::Value ids(Json::arrayValue);
  for (const std::string& id : unit.ao_signal_ids) ids.append(id);
  put(object, "units[]", "ao_signal_ids", ids);
  Json::Value setpoints(Json::objectValue);
  put(setpoints, "units[].setpoint_limits", "temperature", range(unit.setpoint_limits.temperature));
  put(setpoints, "units[].setpoint_limits", "humidity", range(unit.setpoint_limits.humidity));
  put(object, "units[]", "setpoint_limits", setpoints);
  return object;
}

Json::Value bus_json(const BusConfig& bus) {
  const BusSettings& line = bus.settings;
  Json::Value object(Json::objectValue);
  put(object, "bus", "port", line.port);
  put(object, "bus", "baud", line.baud);
  put(object, "bus", "parity", choice_text("bus", "parity", kParityCodes, line.parity));
  put(object, "bus", "data_bits", line.data_bits);
  put(object, "bus", "stop_bits", line.stop_bits);
  put(object, "bus", "response_timeout_ms", line.response_timeout_ms);
  put(object, "bus", "retries", line.retries);
  put(object, "bus", "lost_after_rounds", line.lost_after_rounds);
  put(object, "bus", "max_backoff_s", line.max_backoff_s);
  put(object, "bus", "serial_mode",
      line.serial_mode ? choice_text("bus", "serial_mode", kSerialModes, *line.serial_mode)
                       : Json::Value());
  put(object, "bus", "rts",
      line.rts ? choice_text("bus", "rts", kRtsModes, *line.rts) : Json::Value());
  put(object, "bus", "rts_delay_us", optional_value(line.rts_delay_us));
  Json::Value units(Json::arrayValue);
  for (const UnitConfig& unit : bus.units) units.append(unit_json(unit));
  put(object, "buses[]", "units", units);
  return object;
}

Json::Value http_json(const HttpConfig& http) {
  Json::Value object(Json::objectValue);
  const bool ipv6 = http.host.find(':') != std::string::npos;
  put(object, "http", "listen",
      (ipv6 ? "[" + http.host + "]" : http.host) + ":" + std::to_string(http.port));
  put(object, "http", "chart_js", http.chart_js);
  return object;
}

// An empty text is a field left out.
Json::Value text_or_null(const std::string& text) {
  return text.empty() ? Json::Value() : Json::Value(text);
}

Json::Value mqtt_json(const MqttConfig& mqtt) {
  Json::Value object(Json::objectValue);
  put(object, "mqtt", "host", mqtt.host);
  put(object, "mqtt", "port", mqtt.port);
  put(object, "mqtt", "base_topic", text_or_null(mqtt.base_topic));
  put(object, "mqtt", "client_id", text_or_null(mqtt.client_id));
  put(object, "mqtt", "username", text_or_null(mqtt.username));
  put(object, "mqtt", "password_file", text_or_null(mqtt.password_file));
  Json::Value tls;
  if (mqtt.tls) {
    tls = Json::Value(Json::objectValue);
    put(tls, "mqtt.tls", "ca_file", text_or_null(mqtt.tls->ca_file));
    put(tls, "mqtt.tls", "ca_path", mqtt.tls->ca_path);
    put(tls, "mqtt.tls", "cert_file", text_or_null(mqtt.tls->cert_file));
    put(tls, "mqtt.tls", "key_file", text_or_null(mqtt.tls->key_file));
  }
  put(object, "mqtt", "tls", tls);
  put(object, "mqtt", "qos", mqtt.qos);
  put(object, "mqtt", "commands", mqtt.commands);
  put(object, "mqtt", "discovery", mqtt.discovery);
  put(object, "mqtt", "discovery_prefix", mqtt.discovery_prefix);
  put(object, "mqtt", "keepalive_s", mqtt.keepalive_s);
  put(object, "mqtt", "alarm_queue", mqtt.alarm_queue);
  return object;
}

Json::Value notify_json(const NotifyConfig& notify) {
  Json::Value object(Json::objectValue);
  Json::Value exec(Json::arrayValue);
  for (const std::string& word : notify.exec) exec.append(word);
  put(object, "notify", "exec", exec);
  put(object, "notify", "min_duration_s", notify.min_duration_s);
  put(object, "notify", "timeout_s", notify.timeout_s);
  return object;
}

const Json::Value* member(const Json::Value& object, std::string_view name) {
  return object.isObject() ? object.find(name.data(), name.data() + name.size()) : nullptr;
}

template <typename Section, typename Render>
Json::Value section_or_null(const std::optional<Section>& section, Render render) {
  return section ? render(*section) : Json::Value();
}

}  // namespace

Json::Value effective(const Config& config) {
  Json::Value root(Json::objectValue);
  put(root, "", "plugin", text_or_null(config.plugin));
  put(root, "", "history", text_or_null(config.history));
  put(root, "", "history_keep_days", config.history_options.keep_days);
  put(root, "", "history_synchronous",
      choice_text("", "history_synchronous", kSynchronousFull,
                  config.history_options.synchronous_full));
  put(root, "", "history_queue", config.history_options.queue);
  put(root, "", "history_max_mb", config.history_options.max_mb);
  put(root, "", "interval_s", config.interval_s);
  Json::Value buses(Json::arrayValue);
  for (const BusConfig& bus : config.buses) buses.append(bus_json(bus));
  put(root, "", "buses", buses);
  Json::Value control(Json::objectValue);
  put(control, "control", "socket",
      config.control_socket.empty() ? kDefaultControlSocket : config.control_socket);
  put(root, "", "control", control);
  const OutputConfig& outputs = config.outputs;
  put(root, "", "http", section_or_null(outputs.http, http_json));
  put(root, "", "mqtt", section_or_null(outputs.mqtt, mqtt_json));
  put(root, "", "notify", section_or_null(outputs.notify, notify_json));
  put(root, "", "jsonl", section_or_null(outputs.jsonl, [](const JsonlConfig& jsonl) {
        Json::Value object(Json::objectValue);
        put(object, "jsonl", "path", jsonl.path);
        return object;
      }));
  return root;
}

const Json::Value* holder(const Json::Value& effective, std::string_view section, size_t bus,
                          size_t unit) {
  const Json::Value* object = &effective;
  while (!section.empty() && object != nullptr) {
    const size_t dot = section.find('.');
    const std::string_view part = section.substr(0, dot);
    section = dot == std::string_view::npos ? std::string_view() : section.substr(dot + 1);
    const Json::Value* list = nullptr;
    size_t index = 0;
    if (part == "bus" || part == "buses[]") {
      list = member(*object, "buses");
      index = bus;
    } else if (part == "units[]") {
      if (object == &effective) object = holder(effective, "bus", bus);
      list = object == nullptr ? nullptr : member(*object, "units");
      index = unit;
    }
    if (list != nullptr)
      object = list->isArray() && index < list->size()
                   ? &(*list)[static_cast<Json::ArrayIndex>(index)]
                   : nullptr;
    else if (object != nullptr)
      object = member(*object, part);
    if (object != nullptr && !object->isObject()) object = nullptr;
  }
  return object;
}

const Json::Value& value_of(const Json::Value& effective, const Field& row, size_t bus,
                            size_t unit) {
  const Json::Value* object = holder(effective, row.section, bus, unit);
  if (object == nullptr) return Json::Value::nullSingleton();
  const Json::Value* value = member(*object, row.name);
  return value == nullptr ? Json::Value::nullSingleton() : *value;
}

}  // namespace gw::config
