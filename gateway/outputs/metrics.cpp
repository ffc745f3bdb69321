#include "gateway/outputs/metrics.h"

#include <chrono>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/outputs/unit_view.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/render.h"
#include "gateway/state/counter_table.h"

namespace gw::outputs {
namespace {

// A label value or help text escaped as the format wants: backslash and
// line feed, and in label values the double quote.
std::string escaped(std::string_view text, bool label) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' && label)
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

using Labels = std::vector<std::pair<const char*, std::string>>;

std::string seconds_text(base::SystemTime time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms.count()) / 1000.0);
  return text;
}

// One metric family: its HELP and TYPE lines, then its samples. The
// format wants a family's samples together, so each family is written
// whole, all units in it.
class Family {
 public:
  Family(std::string& out, std::string name, const std::string& help, const char* type)
      : out_(out), name_(std::move(name)) {
    out_ +=
        "# HELP " + name_ + " " + escaped(help, false) + "\n# TYPE " + name_ + " " + type + "\n";
  }
  void sample(const Labels& labels, const std::string& value) {
    out_ += name_;
    for (size_t i = 0; i < labels.size(); ++i)
      out_ += (i == 0 ? "{" : ",") + std::string(labels[i].first) + "=\"" +
              escaped(labels[i].second, true) + "\"";
    out_ += (labels.empty() ? " " : "} ") + value + "\n";
  }

 private:
  std::string& out_;
  std::string name_;
};

struct UnitSamples {
  const state::UnitState* unit;
  UnitView view;
};

void service_families(std::string& out, const state::ServiceInfo& info,
                      const state::StateSnapshot& snapshot) {
  Family(out, "norvane_build_info", "The gateway's version", "gauge")
      .sample({{"version", info.version}}, "1");
  for (const state::ServiceFigureRow& row : state::kServiceFigureRows) {
    char value[32];
    std::snprintf(value, sizeof value, "%.3f", row.value(snapshot));
    Family(out, row.metric, row.help, row.type).sample({}, value);
  }
}

// Where each unit is and what people call it: constant 1, for joins
// (`* on (unit) group_left (title)`).
void info_family(std::string& out, const std::vector<UnitSamples>& units) {
  Family info(out, "norvane_unit_info",
              "1 for each unit, with its title, its bus (serial port), slave address and data id",
              "gauge");
  for (const UnitSamples& u : units)
    info.sample({{"unit", u.unit->name},
                 {"title", u.unit->title},
                 {"bus", u.unit->port},
                 {"slave", std::to_string(u.unit->slave)},
                 {"data_id", std::to_string(u.unit->data_id)}},
                "1");
}

void state_families(std::string& out, const std::vector<UnitSamples>& units) {
  Family status(out, "norvane_unit_state",
                "1 for the unit's present state: not_polled (no round completed yet), answering, "
                "not_answering (its rounds stopped completing)",
                "gauge");
  for (const UnitSamples& u : units)
    for (const state::UnitStatus each :
         {state::UnitStatus::kNotPolled, state::UnitStatus::kAnswering,
          state::UnitStatus::kNotAnswering})
      status.sample({{"unit", u.unit->name}, {"state", status_word(each)}},
                    u.unit->status == each ? "1" : "0");
  Family up(out, "norvane_unit_up",
            "1 while the unit answers and its data is fresh, else 0 (its readings are left out)",
            "gauge");
  for (const UnitSamples& u : units) up.sample({{"unit", u.unit->name}}, u.view.fresh ? "1" : "0");
  Family last(out, "norvane_last_round_timestamp_seconds",
              "When the unit's last poll round completed, as a Unix time", "gauge");
  for (const UnitSamples& u : units)
    if (u.unit->last_round_at)
      last.sample({{"unit", u.unit->name}}, seconds_text(*u.unit->last_round_at));
  Family waiting(out, "norvane_commands_waiting", "Commands queued for the unit", "gauge");
  for (const UnitSamples& u : units)
    waiting.sample({{"unit", u.unit->name}}, std::to_string(u.unit->commands_waiting));
}

std::string help_of(const readings::ReadingRow& row) {
  std::string help = row.description;
  if (row.unit == readings::MeasureUnit::kCelsius) help += ", degrees Celsius";
  if (row.unit == readings::MeasureUnit::kPercent) help += ", percent relative humidity";
  if (row.unit == readings::MeasureUnit::kSeconds)
    help += ", seconds (the unit counts whole hours)";
  if (row.kind == readings::ReadingKind::kFlag) help += ": 1 alarm, 0 normal";
  if (row.kind == readings::ReadingKind::kEnumeration) help += ": 1 for the unit's present state";
  return help;
}

// The readings of the units whose data is fresh, family by family.
void reading_families(std::string& out, const std::vector<UnitSamples>& units) {
  for (int i = 0; i < readings::kWordReadingCount; ++i) {
    const readings::ReadingRow& row = readings::kReadingRows[i];
    Family family(out, readings::metric_name(row), help_of(row), "gauge");
    for (const UnitSamples& u : units) {
      if (!u.view.fresh) continue;
      const readings::Reading& reading = u.view.readings->values()[i];
      if (row.kind != readings::ReadingKind::kEnumeration) {
        family.sample({{"unit", u.unit->name}}, readings::metric_value(reading));
        continue;
      }
      for (const readings::ValueName& state : {row.values.first, row.values.second})
        family.sample({{"unit", u.unit->name}, {"state", state.name}},
                      reading.word == state.code ? "1" : "0");
    }
  }
  const readings::ReadingRow& time = readings::kReadingRows[readings::kWordReadingCount];
  Family stamp(out, readings::metric_name(time),
               "The local time that the unit's record carries, as a Unix time", "gauge");
  for (const UnitSamples& u : units)
    if (u.view.fresh)
      if (const auto instant = u.view.readings->time())
        stamp.sample({{"unit", u.unit->name}}, std::to_string(*instant));
}

// A level's name as a label value: "warning", "major", "critical", or
// "level_N" for a level without a name ("level_minus_N" below 0).
std::string severity_of(int level) {
  for (const readings::AlarmLevel& named : readings::kAlarmLevels)
    if (named.level == level) return named.name;
  const std::string number = std::to_string(level);
  return level < 0 ? "level_minus_" + number.substr(1) : "level_" + number;
}

void alarm_families(std::string& out, const std::vector<UnitSamples>& units) {
  Family active(out, "norvane_alarm_active",
                "1 for each active alarm of the unit, with its signal id, English title, level "
                "and the level's name as severity (warning, major, critical; higher is worse)",
                "gauge");
  for (const UnitSamples& u : units)
    for (const state::ActiveAlarm& alarm : u.unit->alarms)
      active.sample({{"unit", u.unit->name},
                     {"signal_id", alarm.signal_id},
                     {"title", english_title(alarm)},
                     {"level", std::to_string(alarm.level)},
                     {"severity", severity_of(alarm.level)}},
                    "1");
  Family count(out, "norvane_alarms_active", "How many alarms of the unit are active", "gauge");
  for (const UnitSamples& u : units)
    count.sample({{"unit", u.unit->name}}, std::to_string(u.unit->alarms.size()));
}

void counter_families(std::string& out, const std::vector<UnitSamples>& units,
                      const state::StateSnapshot& snapshot) {
  for (const state::CounterRow<state::UnitCounters>& row : state::kUnitCounterRows) {
    if (row.metric == nullptr) continue;
    Family family(out, row.metric, row.help, "counter");
    for (const UnitSamples& u : units)
      family.sample({{"unit", u.unit->name}}, std::to_string(u.unit->counters.*row.field));
  }
  Family commands(out, "norvane_commands_total",
                  "Commands by outcome: carried out, or refused as busy", "counter");
  for (const UnitSamples& u : units)
    for (const auto& [outcome, count] : u.unit->commands_by_outcome)
      commands.sample({{"unit", u.unit->name}, {"outcome", base::outcome_name(outcome)}},
                      std::to_string(count));
  Family open(out, "norvane_port_open", "1 while the bus's serial port is open", "gauge");
  for (const state::BusState& bus : snapshot.buses)
    open.sample({{"port", bus.port}}, bus.open ? "1" : "0");
  for (const state::CounterRow<state::BusState>& row : state::kBusCounterRows) {
    Family family(out, row.metric, row.help, "counter");
    for (const state::BusState& bus : snapshot.buses)
      family.sample({{"port", bus.port}}, std::to_string(bus.*row.field));
  }
}

}  // namespace

std::string metrics_text(const state::ServiceInfo& info, const state::StateSnapshot& snapshot,
                         base::SystemTime now) {
  std::vector<UnitSamples> units;
  for (const state::UnitState& unit : snapshot.units)
    units.push_back({&unit, view_of(unit, snapshot, now)});
  std::string out;
  service_families(out, info, snapshot);
  info_family(out, units);
  state_families(out, units);
  reading_families(out, units);
  alarm_families(out, units);
  counter_families(out, units, snapshot);
  return out;
}

}  // namespace gw::outputs
