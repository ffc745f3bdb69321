#include "gateway/outputs/unit_view.h"

#include <cmath>

#include "gateway/base/iso_time.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/render.h"

namespace gw::outputs {

std::chrono::seconds fresh_for(double interval_s) {
  return std::chrono::seconds(60 + static_cast<long>(std::ceil(2 * interval_s)));
}

UnitView view_of(const state::UnitState& unit, const state::StateSnapshot& snapshot,
                 base::SystemTime now) {
  UnitView view;
  view.unit = &unit;
  view.readings = readings::Readings::decode(unit.record);
  double interval_s = 0;
  for (const state::BusState& bus : snapshot.buses)
    if (bus.port == unit.port) interval_s = bus.interval_s;
  if (unit.last_round_at) {
    const std::chrono::duration<double> age = now - *unit.last_round_at;
    view.age_s = std::max(0.0, age.count());
    view.fresh = unit.status == state::UnitStatus::kAnswering && view.readings &&
                 age <= fresh_for(interval_s);
  }
  return view;
}

const char* status_name(state::UnitStatus status) {
  switch (status) {
    case state::UnitStatus::kNotPolled:
      return "not polled yet";
    case state::UnitStatus::kAnswering:
      return "answering";
    case state::UnitStatus::kNotAnswering:
      return "not answering";
  }
  return "?";
}

const char* status_word(state::UnitStatus status) {
  switch (status) {
    case state::UnitStatus::kNotPolled:
      return "not_polled";
    case state::UnitStatus::kAnswering:
      return "answering";
    case state::UnitStatus::kNotAnswering:
      return "not_answering";
  }
  return "?";
}

std::string english_title(const state::ActiveAlarm& alarm) {
  const char* title = readings::alarm_title(alarm.signal_id);
  return title != nullptr ? title : alarm.title;
}

Json::Value time_json(const std::optional<base::SystemTime>& time) {
  return time ? Json::Value(base::iso_time(*time)) : Json::Value();
}

Json::Value alarm_json(const state::ActiveAlarm& alarm) {
  Json::Value json(Json::objectValue);
  json["signal_id"] = alarm.signal_id;
  json["title"] = english_title(alarm);
  json["level"] = alarm.level;
  json["level_name"] = readings::level_name(alarm.level);
  json["since"] = time_json(alarm.since);
  json["detail"] = alarm.detail;
  json["unit_title"] = alarm.title;
  // A limit alarm's measured value and limit, °C or %, as the round that
  // raised it read them.
  if (alarm.value) json["value"] = *alarm.value;
  if (alarm.limit) json["limit"] = *alarm.limit;
  return json;
}

Json::Value view_json(const UnitView& view) {
  const state::UnitState& unit = *view.unit;
  Json::Value json(Json::objectValue);
  json["name"] = unit.name;
  json["title"] = unit.title;
  json["state"] = status_name(unit.status);
  json["state_since"] = time_json(unit.status_since);
  json["last_round"] = time_json(unit.last_round_at);
  json["data_age_s"] =
      view.age_s ? Json::Value(static_cast<Json::Int64>(*view.age_s)) : Json::Value();
  json["fresh"] = view.fresh;
  json["readings"] = view.readings ? readings::readings_json(*view.readings) : Json::Value();
  Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
  for (const state::ActiveAlarm& alarm : unit.alarms) alarms.append(alarm_json(alarm));
  return json;
}

Json::Value round_json(const state::RoundCompleted& round) {
  Json::Value json(Json::objectValue);
  json["unit"] = round.unit;
  json["time"] = base::iso_time(round.at);
  json["round"] = Json::Int64(round.round);
  json["state"] = status_name(state::UnitStatus::kAnswering);
  const std::optional<readings::Readings> readings = readings::Readings::decode(round.record);
  json["readings"] = readings ? readings::readings_json(*readings) : Json::Value();
  Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
  for (const state::ActiveAlarm& alarm : round.alarms) alarms.append(alarm_json(alarm));
  return json;
}

}  // namespace gw::outputs
