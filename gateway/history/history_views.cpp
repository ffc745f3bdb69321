#include "gateway/history/history_views.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "gateway/history/history_export.h"
#include "gateway/history/history_reader.h"
#include "gateway/history/schema.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/local_time.h"
#include "gateway/readings/readings.h"
#include "gateway/readings/text_fields.h"

namespace gw::history {

namespace r = schema::records;
namespace e = schema::events;

Json::Value recent_alarm_events(const std::string& history_path, int limit) {
  HistoryFile file(history_path);
  Rows rows(file, "SELECT " +
                      schema::columns({e::kTime, e::kDevice, e::kSignalId, e::kState, e::kLevel,
                                       e::kTitle, e::kDetail}) +
                      " FROM " + e::kTable + " ORDER BY " + e::kId + " DESC LIMIT " +
                      std::to_string(limit));
  Json::Value events(Json::arrayValue);
  while (rows.next()) {
    Json::Value& event = events.append(Json::Value(Json::objectValue));
    const std::optional<std::time_t> time = readings::parse_history_time(rows.text(0));
    event["time"] = time ? Json::Value(readings::iso8601_local(*time)) : Json::Value();
    event["unit"] = readings::valid_utf8(rows.text(1));
    const std::string signal_id = readings::valid_utf8(rows.text(2));
    event["signal_id"] = signal_id;
    event["state"] = readings::valid_utf8(rows.text(3));
    event["level"] = static_cast<Json::Int64>(rows.integer(4));
    event["level_name"] = readings::level_name(static_cast<int>(rows.integer(4)));
    const char* title = readings::alarm_title(signal_id);
    event["title"] = title != nullptr ? std::string(title) : readings::valid_utf8(rows.text(5));
    event["detail"] = readings::valid_utf8(rows.text(6));
  }
  return events;
}

namespace {

struct Point {
  std::time_t time;
  double values[std::size(kAirSeries)];
  // The longest spacing, s, between the records from this point back to
  // the next older point kept; -1 while no older record was read.
  long spacing_before = -1;
};

// The records of the period, newest first: every step-th, the step
// doubling whenever more than twice max_points are kept, so that memory
// stays bounded on a long period.
struct Thinned {
  std::vector<Point> points;
  size_t step = 1;
  size_t records = 0;
};

Thinned points_in(HistoryFile& file, const SeriesQuery& query) {
  const bool marks_reloads = file.has_column(r::kTable, r::kReload);
  const TimeWindow window(query.since, query.until);
  Rows rows(file, "SELECT " + schema::columns({r::kTime, r::kRecord}) + " FROM " + r::kTable +
                      " WHERE " + r::kDevice + " = ?1" +
                      (marks_reloads ? " AND " + std::string(r::kReload) + " = 0" : "") +
                      window.condition() + " ORDER BY " + r::kId + " DESC");
  rows.bind(1, query.unit);
  window.bind(rows);
  const size_t most = static_cast<size_t>(std::max(query.max_points, 1));
  Thinned thinned;
  std::optional<std::time_t> newer;  // the record read before, in the period
  while (rows.next()) {
    const std::optional<std::time_t> time = readings::parse_history_time(rows.text(0));
    if (!time || *time >= query.until) continue;
    if (*time < query.since) break;
    const std::optional<readings::Readings> readings = readings::Readings::decode(rows.blob(1));
    if (!readings) continue;
    if (newer && !thinned.points.empty()) {
      long& spacing = thinned.points.back().spacing_before;
      spacing = std::max(spacing, static_cast<long>(*newer - *time));
    }
    newer = *time;
    if (thinned.records++ % thinned.step != 0) continue;
    Point point{*time, {}, -1};
    for (size_t i = 0; i < std::size(kAirSeries); ++i)
      point.values[i] = readings->find(kAirSeries[i])->number();
    thinned.points.push_back(point);
    if (thinned.points.size() < 2 * most) continue;
    for (size_t i = 0; 2 * i < thinned.points.size(); ++i) {
      const long dropped =
          2 * i + 1 < thinned.points.size() ? thinned.points[2 * i + 1].spacing_before : -1;
      thinned.points[i] = thinned.points[2 * i];
      thinned.points[i].spacing_before = std::max(thinned.points[i].spacing_before, dropped);
    }
    thinned.points.resize((thinned.points.size() + 1) / 2);
    thinned.step *= 2;
  }
  return thinned;
}

// The spacing, s, beyond which two points have an outage between them.
double gap_spacing(const std::vector<Point>& points, double interval_s) {
  std::vector<long> spacings;
  for (const Point& point : points)
    if (point.spacing_before >= 0) spacings.push_back(point.spacing_before);
  double usual = std::max(interval_s, 1.0);
  if (!spacings.empty()) {
    auto middle = spacings.begin() + static_cast<long>(spacings.size() / 2);
    std::nth_element(spacings.begin(), middle, spacings.end());
    usual = std::max(usual, static_cast<double>(*middle));
  }
  return kGapAfter * usual;
}

}  // namespace

Json::Value air_series(const std::string& history_path, const SeriesQuery& query) {
  HistoryFile file(history_path);
  const Thinned thinned = points_in(file, query);
  Json::Value json(Json::objectValue);
  json["unit"] = query.unit;
  json["since"] = readings::iso8601_local(query.since);
  json["until"] = readings::iso8601_local(query.until);
  json["records"] = static_cast<Json::UInt64>(thinned.records);
  json["step"] = static_cast<Json::UInt64>(thinned.step);
  Json::Value& times = json["time"] = Json::Value(Json::arrayValue);
  Json::Value& series = json["series"] = Json::Value(Json::objectValue);
  for (const char* name : kAirSeries) series[name] = Json::Value(Json::arrayValue);
  const double gap_after_s = gap_spacing(thinned.points, query.interval_s);
  Json::UInt64 gaps = 0;
  for (auto point = thinned.points.rbegin(); point != thinned.points.rend(); ++point) {
    // point - 1: the point before, the next older one.
    if (point != thinned.points.rbegin() && point->spacing_before > gap_after_s) {
      ++gaps;
      times.append((static_cast<Json::Int64>(point->time) + (point - 1)->time) * 500);
      for (const char* name : kAirSeries) series[name].append(Json::Value());
    }
    times.append(static_cast<Json::Int64>(point->time) * 1000);
    for (size_t s = 0; s < std::size(kAirSeries); ++s)
      series[kAirSeries[s]].append(point->values[s]);
  }
  json["gaps"] = gaps;
  return json;
}

}  // namespace gw::history
