#include "gateway/outputs/unit_view.h"

#include <cmath>

#include "gateway/readings/alarm_table.h"
#include "gateway/readings/render.h"
#include "gateway/base/iso_time.h"

namespace gw::outputs {

std::chrono::seconds fresh_for(double interval_s) {
  return std::chrono::seconds(60 + static_cast<long>(std::ceil(2 * interval_s)));
}

UnitView view_of(const UnitState& unit, const StateSnapshot& snapshot, SystemTime now) {
  UnitView view;
  view.unit = &unit;
  view.readings = Readings::decode(unit.record);
  double interval_s = 0;
  for (const BusState& bus : snapshot.buses)
    if (bus.port == unit.port) interval_s = bus.interval_s;
  if (unit.last_round_at) {
    const std::chrono::duration<double> age = now - *unit.last_round_at;
    view.age_s = std::max(0.0, age.count());
    view.fresh =
        unit.status == UnitStatus::kAnswering && view.readings && age <= fresh_for(interval_s);
  }
  return view;
}

const char* status_name(UnitStatus status) {
  switch (status) {
    case UnitStatus::kNotPolled:
      return "not polled yet";
    case UnitStatus::kAnswering:
      return "answering";
    case UnitStatus::kNotAnswering:
      return "not answering";
  }
  return "?";
}

std::string english_title(const ActiveAlarm& alarm) {
  const char* title = alarm_title(alarm.signal_id);
  return title != nullptr ? title : alarm.title;
}

Json::Value time_json(const std::optional<SystemTime>& time) {
  return time ? Json::Value(iso_time(*time)) : Json::Value();
}

Json::Value alarm_json(const ActiveAlarm& alarm) {
  Json::Value json(Json::objectValue);
  json["signal_id"] = alarm.signal_id;
  json["title"] = english_title(alarm);
  json["level"] = alarm.level;
  json["since"] = time_json(alarm.since);
  json["detail"] = alarm.detail;
  json["unit_title"] = alarm.title;
  return json;
}

Json::Value view_json(const UnitView& view) {
  const UnitState& unit = *view.unit;
  Json::Value json(Json::objectValue);
  json["name"] = unit.name;
  json["state"] = status_name(unit.status);
  json["state_since"] = time_json(unit.status_since);
  json["last_round"] = time_json(unit.last_round_at);
  json["data_age_s"] =
      view.age_s ? Json::Value(static_cast<Json::Int64>(*view.age_s)) : Json::Value();
  json["fresh"] = view.fresh;
  json["readings"] = view.readings ? readings_json(*view.readings) : Json::Value();
  Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
  for (const ActiveAlarm& alarm : unit.alarms) alarms.append(alarm_json(alarm));
  return json;
}

Json::Value round_json(const RoundCompleted& round) {
  Json::Value json(Json::objectValue);
  json["unit"] = round.unit;
  json["time"] = iso_time(round.at);
  json["round"] = Json::Int64(round.round);
  json["state"] = status_name(UnitStatus::kAnswering);
  const std::optional<Readings> readings = Readings::decode(round.record);
  json["readings"] = readings ? readings_json(*readings) : Json::Value();
  Json::Value& alarms = json["alarms"] = Json::Value(Json::arrayValue);
  for (const ActiveAlarm& alarm : round.alarms) alarms.append(alarm_json(alarm));
  return json;
}

}  // namespace gw::outputs
