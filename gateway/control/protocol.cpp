#include "gateway/control/protocol.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "gateway/base/iso_time.h"
#include "gateway/base/json_parse.h"
#include "gateway/base/log.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/state/counter_table.h"

namespace gw::control {
namespace {

using std::chrono::milliseconds;

class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Json::Value time_or_null(const std::optional<base::SystemTime>& time) {
  return outputs::time_json(time);
}

// The report's JSON text as a value; null when there is none.
Json::Value parsed(const std::string& text) {
  if (text.empty()) return Json::Value();
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return Json::Value();
  return value;
}

template <typename Counters, size_t N>
Json::Value counters_json(const state::CounterRow<Counters> (&rows)[N], const Counters& counters) {
  Json::Value json(Json::objectValue);
  for (const state::CounterRow<Counters>& row : rows)
    json[row.key] = Json::Int64(counters.*row.field);
  return json;
}

Json::Value history_json(const state::HistoryState& history) {
  Json::Value json(Json::objectValue);
  json["path"] = history.path;
  json["writable"] = history.writable;
  json["error"] = history.writable ? Json::Value() : Json::Value(history.error);
  json["failing_since"] = time_or_null(history.failing_since);
  json["queued_records"] = Json::Int64(history.queued_records);
  json["queued_events"] = Json::Int64(history.queued_events);
  json["records_written"] = Json::Int64(history.records_written);
  json["events_written"] = Json::Int64(history.events_written);
  json["records_lost"] = Json::Int64(history.records_lost);
  json["events_lost"] = Json::Int64(history.events_lost);
  return json;
}

Json::Value unit_json(const state::UnitState& unit, const state::StateSnapshot& snapshot,
                      base::SystemTime now) {
  Json::Value json = outputs::view_json(outputs::view_of(unit, snapshot, now));
  json["bus"] = unit.port;
  json["slave"] = unit.slave;
  json["data_id"] = unit.data_id;
  json["counters"] = counters_json(state::kUnitCounterRows, unit.counters);
  Json::Value& outcomes = json["commands_by_outcome"] = Json::Value(Json::objectValue);
  for (const auto& [outcome, count] : unit.commands_by_outcome)
    outcomes[base::outcome_text(outcome)] = Json::Int64(count);
  json["last_command"] = Json::Value();
  if (unit.last_command) {
    Json::Value& command = json["last_command"] = Json::Value(Json::objectValue);
    command["command"] = unit.last_command->command;
    command["outcome"] = base::outcome_text(unit.last_command->outcome);
    if (!unit.last_command->detail.empty()) command["detail"] = unit.last_command->detail;
    command["time"] = base::iso_time(unit.last_command->at);
  }
  json["commands_waiting"] = unit.commands_waiting;
  Json::Value& unsupervised = json["unsupervised"] = Json::Value(Json::arrayValue);
  for (const readings::AlarmRow& row : readings::kAlarmRows) {  // in the table's order
    const auto level = unit.alarm_levels.find(row.signal_id);
    if (level == unit.alarm_levels.end() || level->second != readings::kLevelUnsupervised) continue;
    Json::Value& alarm = unsupervised.append(Json::Value(Json::objectValue));
    alarm["signal_id"] = row.signal_id;
    alarm["title"] = row.title;
  }
  return json;
}

const state::UnitState& find_unit(const state::StateSnapshot& snapshot, const std::string& name) {
  for (const state::UnitState& unit : snapshot.units)
    if (unit.name == name) return unit;
  throw BadRequest("no unit named " + name);
}

std::string text_field(const Json::Value& request, const char* key) {
  const Json::Value& value = request[key];
  if (!value.isString() || value.asString().empty())
    throw BadRequest(std::string("\"") + key + "\" must be a non-empty string");
  return value.asString();
}

base::Command command_of(const Json::Value& request) {
  const std::string name = text_field(request, "command");
  const std::optional<base::CommandKind> kind = base::kind_named(name);
  if (!kind)
    throw BadRequest(
        "\"command\" must be \"set_temperature\", \"set_humidity\", \"unit_on\" or "
        "\"unit_off\", not \"" +
        name + "\"");
  const Json::Value& value = request["value"];
  if (!base::takes_value(*kind)) {
    if (!value.isNull()) throw BadRequest(name + " takes no \"value\"");
    return {*kind, 0};
  }
  if (!value.isNumeric())
    throw BadRequest(name + " needs \"value\", a whole number from -999 to 999");
  const base::SetpointValue setpoint = base::setpoint_value(*kind, value.asDouble());
  if (!setpoint.value) throw BadRequest(name + ": " + setpoint.why);
  return {*kind, *setpoint.value};
}

milliseconds command_wait(const Json::Value& request, state::ServiceApi& api) {
  const Json::Value& timeout = request["timeout_s"];
  if (timeout.isNull()) return api.command_wait();
  if (!timeout.isNumeric() || !(timeout.asDouble() >= 0.1) || timeout.asDouble() > 600)
    throw BadRequest("\"timeout_s\" must be a number of seconds from 0.1 to 600");
  return milliseconds(std::lround(timeout.asDouble() * 1000));
}

Json::Value command_reply(const Json::Value& request, state::ServiceApi& api) {
  const std::string unit = text_field(request, "unit");
  const base::Command command = command_of(request);
  const milliseconds wait = command_wait(request, api);
  const std::shared_ptr<base::CommandTicket> ticket = api.command(unit, command);
  if (!ticket) throw BadRequest("no unit named " + unit);
  const base::CommandTicket::Answer answer = ticket->wait(wait);
  Json::Value reply(Json::objectValue);
  reply["ok"] = true;
  reply["unit"] = unit;
  reply["command"] = describe(command);
  reply["outcome"] = base::outcome_text(answer.outcome);
  reply["done"] = answer.outcome == base::CommandOutcome::kDone;
  if (!answer.detail.empty()) reply["detail"] = answer.detail;
  if (answer.outcome == base::CommandOutcome::kTimeout) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000.0);
    reply["detail"] = answer.in_progress
                          ? std::string("still being carried out after ") + seconds +
                                " s; its outcome will show as the unit's last command"
                          : std::string("not carried out within ") + seconds + " s; withdrawn";
  }
  return reply;
}

Json::Value names(const std::vector<std::string>& list) {
  Json::Value json(Json::arrayValue);
  for (const std::string& name : list) json.append(name);
  return json;
}

Json::Value reload_reply(state::ServiceApi& api) {
  const state::ReloadReport report = api.reload();
  Json::Value reply(Json::objectValue);
  reply["ok"] = report.ok;
  if (!report.ok) {
    reply["error"] = report.error;
    return reply;
  }
  reply["added"] = names(report.added);
  reply["removed"] = names(report.removed);
  reply["set_up_again"] = names(report.set_up_again);
  reply["unchanged"] = names(report.unchanged);
  reply["needs_restart"] = names(report.needs_restart);
  reply["errors"] = names(report.errors);
  return reply;
}

Json::Value readings_reply(const Json::Value& request, state::ServiceApi& api) {
  const state::StateSnapshot snapshot = api.status();
  const state::UnitState& unit = find_unit(snapshot, text_field(request, "unit"));
  Json::Value reply(Json::objectValue);
  reply["ok"] = true;
  reply["unit"] = unit.name;
  reply["time"] = time_or_null(unit.last_round_at);
  reply["readings"] = parsed(unit.report);
  return reply;
}

Json::Value values_reply(const Json::Value& request, state::ServiceApi& api) {
  const state::StateSnapshot snapshot = api.status();
  const state::UnitState& unit = find_unit(snapshot, text_field(request, "unit"));
  Json::Value reply =
      outputs::view_json(outputs::view_of(unit, snapshot, std::chrono::system_clock::now()));
  reply["ok"] = true;
  reply["unit"] = unit.name;
  return reply;
}

Json::Value clients_json(const ClientCounts& clients) {
  Json::Value json(Json::objectValue);
  json["connected"] = Json::Int64(clients.connected);
  json["dropped_slow"] = Json::Int64(clients.dropped_slow);
  json["closed_idle"] = Json::Int64(clients.closed_idle);
  json["evicted"] = Json::Int64(clients.evicted);
  return json;
}

Json::Value reply_to(const Json::Value& request, state::ServiceApi& api,
                     const ClientCounts& clients, bool& stream_events) {
  if (!request.isObject()) throw BadRequest("a request is a JSON object");
  const std::string what = text_field(request, "request");
  if (what == "status") {
    const Json::Value& unit = request["unit"];
    if (!unit.isNull() && !unit.isString()) throw BadRequest("\"unit\" must be a string");
    const std::string name = unit.asString();
    Json::Value reply = status_reply(api.info(), api.status(), unit.isNull() ? nullptr : &name);
    reply["control"] = clients_json(clients);
    return reply;
  }
  if (what == "readings") return readings_reply(request, api);
  if (what == "values") return values_reply(request, api);
  if (what == "command") return command_reply(request, api);
  if (what == "reload") return reload_reply(api);
  if (what == "events") {
    stream_events = true;
    Json::Value reply(Json::objectValue);
    reply["ok"] = true;
    reply["events"] = "following";
    return reply;
  }
  throw BadRequest("unknown request \"" + what +
                   "\" (status, values, readings, command, reload or events)");
}

}  // namespace

std::string json_line(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, value);
}

Json::Value status_reply(const state::ServiceInfo& info, const state::StateSnapshot& snapshot,
                         const std::string* unit) {
  Json::Value reply(Json::objectValue);
  reply["ok"] = true;
  Json::Value& service = reply["service"] = Json::Value(Json::objectValue);
  service["version"] = info.version;
  service["pid"] = Json::Int64(info.pid);
  service["config"] = info.config_file;
  service["started"] = base::iso_time(snapshot.started);
  service["uptime_s"] = Json::Int64(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now() - snapshot.started)
                                        .count());
  Json::Value& buses = reply["buses"] = Json::Value(Json::arrayValue);
  for (const state::BusState& bus : snapshot.buses) {
    Json::Value& entry = buses.append(counters_json(state::kBusCounterRows, bus));
    entry["port"] = bus.port;
    entry["open"] = bus.open;
    entry["interval_s"] = bus.interval_s;
  }
  reply["history"] = history_json(snapshot.history);
  const base::SystemTime now = std::chrono::system_clock::now();
  Json::Value& units = reply["units"] = Json::Value(Json::arrayValue);
  if (unit != nullptr) {
    reply["unit"] = *unit;
    units.append(unit_json(find_unit(snapshot, *unit), snapshot, now));
  } else {
    for (const state::UnitState& state : snapshot.units)
      units.append(unit_json(state, snapshot, now));
  }
  return reply;
}

Handled handle_request(const std::string& line, state::ServiceApi& api,
                       const ClientCounts& clients) {
  Handled handled;
  Json::Value request;
  Json::Value reply;
  try {
    base::ParsedJson parsed = base::parse_json(line, {kMaxRequestBytes, kDeepestRequest});
    if (!parsed.ok()) throw BadRequest("not valid JSON: " + parsed.error);
    request = std::move(parsed.value);
    reply = reply_to(request, api, clients, handled.stream_events);
  } catch (const BadRequest& error) {
    reply = Json::Value(Json::objectValue);
    reply["ok"] = false;
    reply["error"] = error.what();
  } catch (const std::exception& error) {
    // A fault of ours, not of the request: the client hears of it and the
    // service goes on.
    base::log::error(std::string("control: a request failed: ") + error.what());
    reply = Json::Value(Json::objectValue);
    reply["ok"] = false;
    reply["error"] = "the request failed; the gateway's log says why";
    handled.stream_events = false;
  }
  if (request.isObject() && request.isMember("id")) reply["id"] = request["id"];
  handled.reply = json_line(reply);
  return handled;
}

std::string overlong_reply() {
  Json::Value reply(Json::objectValue);
  reply["ok"] = false;
  reply["error"] = "a request longer than " + std::to_string(kMaxRequestBytes) + " bytes";
  return json_line(reply);
}

std::string event_line(const state::Event& event) {
  Json::Value json(Json::objectValue);
  if (const auto* round = std::get_if<state::RoundCompleted>(&event)) {
    json["event"] = "round";
    json["unit"] = round->unit;
    json["time"] = base::iso_time(round->at);
    json["round"] = Json::Int64(round->round);
    json["readings"] = parsed(round->report);
  } else if (const auto* alarm = std::get_if<state::AlarmChanged>(&event)) {
    json["event"] = "alarm";
    json["unit"] = alarm->unit;
    json["time"] = base::iso_time(alarm->at);
    json["signal_id"] = alarm->signal_id;
    json["level"] = alarm->level;
    json["state"] = alarm->raised ? "raised" : "cleared";
    json["title"] =
        outputs::english_title({alarm->signal_id, alarm->level, alarm->title, {}, {}, {}, {}});
    json["level_name"] = readings::level_name(alarm->level);
    json["detail"] = alarm->detail;
    json["unit_title"] = alarm->title;
    if (alarm->value) json["value"] = *alarm->value;
    if (alarm->limit) json["limit"] = *alarm->limit;
  } else if (const auto* command = std::get_if<state::CommandFinished>(&event)) {
    json["event"] = "command";
    json["unit"] = command->unit;
    json["time"] = base::iso_time(command->at);
    json["command"] = command->command;
    json["outcome"] = base::outcome_text(command->outcome);
    if (!command->detail.empty()) json["detail"] = command->detail;
  }
  return json_line(json);
}

}  // namespace gw::control
