#include "gateway/control/ctl_format.h"

#include <cstdio>
#include <optional>
#include <sstream>

#include "gateway/readings/render.h"
#include "gateway/state/counter_table.h"

namespace gw::control {
namespace {

std::string text_of(const Json::Value& value) {
  if (value.isNull()) return "-";
  if (value.isString()) return value.asString();
  if (value.isBool()) return value.asBool() ? "true" : "false";
  if (value.isIntegral()) return std::to_string(value.asLargestInt());
  if (value.isDouble()) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value.asDouble());
    return text;
  }
  return value.toStyledString();
}

std::string names(const Json::Value& list) {
  if (!list.isArray() || list.empty()) return "-";
  std::string text;
  for (const Json::Value& name : list) text += (text.empty() ? "" : ", ") + text_of(name);
  return text;
}

std::string uptime(long long seconds) {
  const long long hours = seconds / 3600, minutes = seconds / 60 % 60;
  std::ostringstream text;
  if (hours > 0) text << hours << " h ";
  text << minutes << " min " << seconds % 60 << " s";
  return text.str();
}

// "answering since T; data of T2, 3 s old" (", stale" when it is).
std::string state_line(const Json::Value& unit) {
  std::string line = text_of(unit["state"]);
  if (!unit["state_since"].isNull()) line += " since " + text_of(unit["state_since"]);
  if (unit["last_round"].isNull()) return line + "; no data yet";
  line += "; data of " + text_of(unit["last_round"]);
  if (unit["data_age_s"].isNumeric()) line += ", " + text_of(unit["data_age_s"]) + " s old";
  if (!unit["fresh"].asBool()) line += " (stale)";
  return line;
}

template <typename Counters, size_t N>
std::string counters_text(const state::CounterRow<Counters> (&rows)[N],
                          const Json::Value& counters) {
  std::string text;
  for (const state::CounterRow<Counters>& row : rows)
    if (counters.isMember(row.key))
      text +=
          (text.empty() ? "" : ", ") + std::string(row.words) + " " + text_of(counters[row.key]);
  return text;
}

// "name: value unit" a line, in the readings table's order.
void format_values(std::ostream& out, const Json::Value& readings, const char* indent) {
  for (int i = 0; i < readings::kWordReadingCount; ++i) {
    const readings::ReadingRow& row = readings::kReadingRows[i];
    const Json::Value& value = readings[row.name];
    const std::optional<readings::Reading> reading = readings::reading_from_json(row, value);
    out << indent
        << (reading ? readings::reading_line(*reading) : row.name + (": " + text_of(value)))
        << "\n";
  }
}

void format_alarms(std::ostream& out, const Json::Value& alarms, const char* indent) {
  if (alarms.empty()) out << indent << "alarms: none\n";
  for (const Json::Value& alarm : alarms)
    out << indent << "alarm: " << text_of(alarm["title"]) << " (" << text_of(alarm["signal_id"])
        << ", level " << text_of(alarm["level"]) << ") since " << text_of(alarm["since"]) << "; "
        << text_of(alarm["detail"]) << "\n";
}

// Alarms that the configuration leaves unsupervised on purpose; no line
// when every alarm is supervised.
void format_unsupervised(std::ostream& out, const Json::Value& unsupervised, const char* indent) {
  if (unsupervised.empty()) return;
  out << indent << "unsupervised:";
  const char* separator = " ";
  for (const Json::Value& alarm : unsupervised) {
    out << separator << text_of(alarm["title"]) << " (" << text_of(alarm["signal_id"]) << ")";
    separator = ", ";
  }
  out << "\n";
}

// `with_bus`: the gateway has several buses, and the line names the unit's.
void format_unit(std::ostream& out, const Json::Value& unit, bool with_values, bool with_bus) {
  out << text_of(unit["name"]) << " ("
      << (with_bus ? "bus " + text_of(unit["bus"]) + ", " : std::string()) << "slave "
      << text_of(unit["slave"]) << ", data id " << text_of(unit["data_id"])
      << "): " << state_line(unit) << "\n  "
      << counters_text(state::kUnitCounterRows, unit["counters"]) << "; "
      << text_of(unit["commands_waiting"]) << " commands waiting\n";
  format_alarms(out, unit["alarms"], "  ");
  format_unsupervised(out, unit["unsupervised"], "  ");
  const Json::Value& command = unit["last_command"];
  if (!command.isNull())
    out << "  last command: " << text_of(command["command"]) << ": " << text_of(command["outcome"])
        << (command.isMember("detail") ? " (" + text_of(command["detail"]) + ")" : "") << " at "
        << text_of(command["time"]) << "\n";
  if (with_values && unit["readings"].isObject()) format_values(out, unit["readings"], "  ");
}

std::string format_status(const Json::Value& reply) {
  std::ostringstream out;
  const Json::Value& service = reply["service"];
  out << "norvane-gateway " << text_of(service["version"]) << " (pid " << text_of(service["pid"])
      << "), up " << uptime(service["uptime_s"].asLargestInt()) << ", config "
      << text_of(service["config"]) << "\n";
  for (const Json::Value& bus : reply["buses"])
    out << "bus " << text_of(bus["port"]) << ": " << (bus["open"].asBool() ? "open" : "closed")
        << "; " << counters_text(state::kBusCounterRows, bus) << "\n";
  const Json::Value& history = reply["history"];
  out << "history " << text_of(history["path"]) << ": "
      << (history["writable"].asBool() ? "writable"
                                       : "not writable since " + text_of(history["failing_since"]) +
                                             " (" + text_of(history["error"]) + ")")
      << "; waiting " << text_of(history["queued_records"]) << " records, "
      << text_of(history["queued_events"]) << " events; lost " << text_of(history["records_lost"])
      << " records, " << text_of(history["events_lost"]) << " events\n";
  // One unit asked for: its values too.
  const bool one = reply.isMember("unit");
  const bool several = reply["buses"].size() > 1;
  for (const Json::Value& unit : reply["units"]) format_unit(out, unit, one, several);
  return out.str();
}

std::string format_unit_values(const Json::Value& reply) {
  std::ostringstream out;
  out << text_of(reply["unit"]) << ": " << state_line(reply) << "\n";
  if (reply["readings"].isObject()) format_values(out, reply["readings"], "");
  format_alarms(out, reply["alarms"], "");
  return out.str();
}

void format_value(std::ostream& out, const std::string& name, const Json::Value& value) {
  if (value.isObject()) {
    for (const std::string& key : value.getMemberNames())
      format_value(out, name + "." + key, value[key]);
    return;
  }
  out << "  " << name << ": " << text_of(value) << "\n";
}

// The plug-in's own report, its keys as they are.
std::string format_readings(const Json::Value& reply) {
  std::ostringstream out;
  if (reply["readings"].isNull()) {
    out << text_of(reply["unit"]) << ": no completed round yet\n";
    return out.str();
  }
  out << text_of(reply["unit"]) << " at " << text_of(reply["time"]) << ":\n";
  // The values first, then the groups of them (such as the alarm flags).
  const Json::Value& readings = reply["readings"];
  for (const bool groups : {false, true})
    for (const std::string& key : readings.getMemberNames())
      if (readings[key].isObject() == groups) format_value(out, key, readings[key]);
  return out.str();
}

std::string format_command(const Json::Value& reply) {
  std::string line = "command " + text_of(reply["unit"]) + ' ' + text_of(reply["command"]) + ": " +
                     text_of(reply["outcome"]);
  if (reply.isMember("detail")) line += " (" + text_of(reply["detail"]) + ")";
  return line + "\n";
}

std::string format_reload(const Json::Value& reply) {
  std::string text = "reloaded: added " + names(reply["added"]) + "; set up again " +
                     names(reply["set_up_again"]) + "; removed " + names(reply["removed"]) +
                     "; unchanged " + names(reply["unchanged"]) + "\n";
  if (!reply["needs_restart"].empty())
    text += "changed, applied after a restart: " + names(reply["needs_restart"]) + "\n";
  for (const Json::Value& error : reply["errors"]) text += "not set up: " + text_of(error) + "\n";
  return text;
}

}  // namespace

std::string format_reply(const std::string& request, const Json::Value& reply) {
  if (!reply["ok"].asBool()) return "error: " + text_of(reply["error"]) + "\n";
  if (request == "status") return format_status(reply);
  if (request == "values") return format_unit_values(reply);
  if (request == "readings") return format_readings(reply);
  if (request == "command") return format_command(reply);
  if (request == "reload") return format_reload(reply);
  if (request == "events") return "";  // the events follow
  return reply.toStyledString();
}

BareValue bare_value(const Json::Value& reply, const std::string& name) {
  const std::string unit = text_of(reply["unit"]);
  if (!reply["fresh"].asBool() || !reply["readings"].isObject())
    return {std::nullopt, unit + " has no current " + name + ": " + state_line(reply)};
  const readings::ReadingRow* row = readings::reading_row(name);
  const std::optional<readings::Reading> reading =
      row != nullptr ? readings::reading_from_json(*row, reply["readings"][name]) : std::nullopt;
  if (!reading) return {std::nullopt, unit + ": the gateway sent no " + name};
  return {readings::plain_value_text(*reading), ""};
}

std::string format_event(const Json::Value& event) {
  const std::string kind = text_of(event["event"]);
  const std::string unit = text_of(event["unit"]);
  const std::string at = " at " + text_of(event["time"]);
  if (kind == "round") return "round " + unit + " " + text_of(event["round"]) + at + "\n";
  if (kind == "alarm")
    return "alarm " + unit + " " + text_of(event["state"]) + " " + text_of(event["signal_id"]) +
           " level " + text_of(event["level"]) + at + ": " + text_of(event["title"]) + " (" +
           text_of(event["detail"]) + ")\n";
  if (kind == "command")
    return "command " + unit + " " + text_of(event["command"]) + ": " + text_of(event["outcome"]) +
           (event.isMember("detail") ? " (" + text_of(event["detail"]) + ")" : "") + at + "\n";
  if (kind == "dropped") return "(" + text_of(event["count"]) + " events dropped so far)\n";
  return event.toStyledString();
}

}  // namespace gw::control
