#include "gateway/outputs/mqtt_messages.h"

#include <cctype>

#include "gateway/base/iso_time.h"
#include "gateway/base/utf8.h"
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

}  // namespace gw::outputs::mqtt
