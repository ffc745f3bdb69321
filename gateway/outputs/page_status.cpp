#include "gateway/outputs/page_status.h"

#include <algorithm>
#include <vector>

#include "gateway/base/iso_time.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/alarm_table.h"

namespace gw::outputs {

namespace {

struct PageUnit {
  Json::Value json;
  int worst_level = 0;      // of its active alarms, "Unit not answering" included
  bool raised_own = false;  // an alarm of the unit's own, not "Unit not answering"
  bool silent = false;      // no current data
  bool attention() const { return worst_level > 0 || raised_own || silent; }
};

PageUnit page_unit(const state::UnitState& unit, const state::StateSnapshot& snapshot,
                   base::SystemTime now, Json::UInt64 position) {
  const UnitView view = view_of(unit, snapshot, now);
  PageUnit page;
  page.silent = !view.fresh;
  for (const state::ActiveAlarm& alarm : unit.alarms) {
    page.worst_level = std::max(page.worst_level, alarm.level);
    if (alarm.signal_id != readings::kCommLostSignalId) page.raised_own = true;
  }
  page.json = view_json(view);
  page.json["slave"] = unit.slave;
  page.json["data_id"] = unit.data_id;
  page.json["bus"] = unit.port;
  page.json["position"] = position;
  page.json["alarm_level"] = page.worst_level;
  page.json["alarm_level_name"] =
      unit.alarms.empty() ? Json::Value() : Json::Value(readings::level_name(page.worst_level));
  page.json["attention"] = page.attention();
  return page;
}

}  // namespace

Json::Value page_status_json(const state::StateSnapshot& snapshot, const std::string& version,
                             base::SystemTime now) {
  std::vector<PageUnit> units;
  units.reserve(snapshot.units.size());
  for (const state::UnitState& unit : snapshot.units)
    units.push_back(page_unit(unit, snapshot, now, units.size()));
  std::stable_sort(units.begin(), units.end(), [](const PageUnit& a, const PageUnit& b) {
    if (a.attention() != b.attention()) return a.attention();
    return a.worst_level > b.worst_level;
  });

  Json::Value json(Json::objectValue);
  Json::Value& gateway = json["gateway"] = Json::Value(Json::objectValue);
  gateway["version"] = version;
  gateway["started"] = base::iso_time(snapshot.started);
  gateway["time"] = base::iso_time(now);
  Json::Value& summary = json["summary"] = Json::Value(Json::objectValue);
  summary["units"] = static_cast<Json::UInt64>(units.size());
  summary["alarming"] = static_cast<Json::Int64>(
      std::count_if(units.begin(), units.end(), [](const PageUnit& u) { return u.raised_own; }));
  summary["not_answering"] = static_cast<Json::Int64>(
      std::count_if(units.begin(), units.end(), [](const PageUnit& u) { return u.silent; }));
  Json::Value& list = json["units"] = Json::Value(Json::arrayValue);
  for (PageUnit& unit : units) list.append(std::move(unit.json));
  return json;
}

}  // namespace gw::outputs
