#include "gateway/history/history_export.h"

#include <string_view>

#include <json/value.h>

#include "gateway/history/schema.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/readings.h"
#include "gateway/readings/render.h"
#include "gateway/readings/text_fields.h"

namespace gw::history {
namespace {

namespace r = schema::records;
namespace e = schema::events;

constexpr char kCsvLineEnd[] = "\r\n";

// Where a row's time lies against the query's range.
enum class InRange { kYes, kNo, kUnknown };

InRange place_of(const std::optional<std::time_t>& time, const ExportQuery& query) {
  if (!query.since && !query.until) return InRange::kYes;
  if (!time) return InRange::kUnknown;
  const bool after_since = !query.since || *time >= *query.since;
  const bool before_until = !query.until || *time < *query.until;
  return after_since && before_until ? InRange::kYes : InRange::kNo;
}

std::string time_text(const std::optional<std::time_t>& time) {
  return time ? readings::iso8601_local(*time) : std::string();
}

Json::Value time_json(const std::optional<std::time_t>& time) {
  return time ? Json::Value(readings::iso8601_local(*time)) : Json::Value(Json::nullValue);
}

// The query of a table's rows in the order they were stored, of one unit
// or all, near the query's period; `columns` first.
// Both tables name the unit, the time and the order alike.
static_assert(std::string_view(r::kDevice) == e::kDevice &&
              std::string_view(r::kTime) == e::kTime && std::string_view(r::kId) == e::kId);
std::string select_rows(const std::string& columns, const char* table, const ExportQuery& query,
                        const TimeWindow& window) {
  const std::string conditions =
      (query.unit ? std::string(" AND ") + r::kDevice + " = ?1" : "") + window.condition();
  return "SELECT " + columns + " FROM " + table +
         (conditions.empty() ? "" : " WHERE" + conditions.substr(4)) + " ORDER BY " + r::kId;
}

// Binds the query's parameters.
void bind_query(Rows& rows, const ExportQuery& query, const TimeWindow& window) {
  if (query.unit) rows.bind(1, *query.unit);
  window.bind(rows);
}

void write_line(std::ostream& out, const std::string& line) {
  if (!out.write(line.data(), static_cast<std::streamsize>(line.size())))
    throw ExportError("cannot write the export");
}

// --- Readings ---

struct StoredRecord {
  std::optional<std::time_t> time;
  std::string unit;
  bool reload = false;
};

std::string readings_csv_header(const ExportQuery& query) {
  std::string line = std::string("time,unit,data_id") + (query.include_reloads ? ",reload" : "");
  for (int i = 0; i < readings::kWordReadingCount; ++i)
    line += "," + readings::name_with_unit(readings::kReadingRows[i]);
  return line + kCsvLineEnd;
}

std::string readings_csv_line(const StoredRecord& stored, const readings::Readings& readings,
                              const ExportQuery& query) {
  std::string line = time_text(stored.time) + "," + readings::csv_field(stored.unit) + "," +
                     std::to_string(readings.data_id());
  if (query.include_reloads) line += stored.reload ? ",true" : ",false";
  for (const readings::Reading& reading : readings.values())
    line += "," + readings::csv_field(readings::plain_value_text(reading));
  return line + kCsvLineEnd;
}

std::string readings_json_line(const StoredRecord& stored, const readings::Readings& readings,
                               const ExportQuery& query) {
  Json::Value object(Json::objectValue);
  object["time"] = time_json(stored.time);
  object["unit"] = stored.unit;
  object["data_id"] = readings.data_id();
  if (query.include_reloads) object["reload"] = stored.reload;
  object["readings"] = readings::readings_json(readings);
  return readings::json_text(object) + "\n";
}

}  // namespace

bool history_has_unit(const std::string& history_path, const std::string& unit) {
  HistoryFile file(history_path);
  // Both tables are indexed by unit.
  Rows rows(file, std::string("SELECT EXISTS (SELECT 1 FROM ") + r::kTable + " WHERE " +
                      r::kDevice + " = ?1) OR EXISTS (SELECT 1 FROM " + e::kTable + " WHERE " +
                      e::kDevice + " = ?1)");
  rows.bind(1, unit);
  return rows.next() && rows.integer(0) != 0;
}

ExportSummary export_readings(const std::string& history_path, const ExportQuery& query,
                              std::ostream& out) {
  HistoryFile file(history_path);
  const bool marks_reloads = file.has_column(r::kTable, r::kReload);
  const TimeWindow window(query.since, query.until);
  Rows rows(file, select_rows(schema::columns({r::kTime, r::kDevice, r::kRecord,
                                               marks_reloads ? r::kReload : "0"}),
                              r::kTable, query, window));
  bind_query(rows, query, window);
  if (query.format == ExportFormat::kCsv) write_line(out, readings_csv_header(query));
  ExportSummary summary;
  while (rows.next()) {
    StoredRecord stored{readings::parse_history_time(rows.text(0)),
                        readings::valid_utf8(rows.text(1)), rows.integer(3) != 0};
    const std::optional<readings::Readings> readings = readings::Readings::decode(rows.blob(2));
    const InRange place = place_of(stored.time, query);
    if (!readings || !stored.time) ++summary.unreadable;
    if (!readings || place != InRange::kYes) continue;
    if (stored.reload && !query.include_reloads) {
      ++summary.reloads_left_out;
      continue;
    }
    write_line(out, query.format == ExportFormat::kCsv
                        ? readings_csv_line(stored, *readings, query)
                        : readings_json_line(stored, *readings, query));
    ++summary.written;
  }
  if (!out.flush()) throw ExportError("cannot write the export");
  return summary;
}

namespace {

// --- Alarm events ---

const std::string kEventColumns = schema::columns(
    {e::kTime, e::kDevice, e::kSignalId, e::kState, e::kLevel, e::kTitle, e::kDetail});

struct StoredEvent {
  std::optional<std::time_t> time;
  std::string unit, signal_id, state, title, stored_title, detail;
  long long level = 0;
};

StoredEvent event_of(const Rows& rows) {
  StoredEvent event;
  event.time = readings::parse_history_time(rows.text(0));
  event.unit = readings::valid_utf8(rows.text(1));
  event.signal_id = readings::valid_utf8(rows.text(2));
  event.state = readings::valid_utf8(rows.text(3));
  event.level = rows.integer(4);
  event.stored_title = readings::valid_utf8(rows.text(5));
  event.detail = readings::valid_utf8(rows.text(6));
  const char* title = readings::alarm_title(event.signal_id);
  event.title = title != nullptr ? title : event.stored_title;
  return event;
}

std::string events_csv_header() {
  return std::string("time,unit,signal_id,state,level,title,stored_title,detail") + kCsvLineEnd;
}

std::string event_csv_line(const StoredEvent& e) {
  return time_text(e.time) + "," + readings::csv_field(e.unit) + "," +
         readings::csv_field(e.signal_id) + "," + readings::csv_field(e.state) + "," +
         std::to_string(e.level) + "," + readings::csv_field(e.title) + "," +
         readings::csv_field(e.stored_title) + "," + readings::csv_field(e.detail) + kCsvLineEnd;
}

std::string event_json_line(const StoredEvent& e) {
  Json::Value object(Json::objectValue);
  object["time"] = time_json(e.time);
  object["unit"] = e.unit;
  object["signal_id"] = e.signal_id;
  object["state"] = e.state;
  object["level"] = static_cast<Json::Int64>(e.level);
  object["title"] = e.title;
  object["stored_title"] = e.stored_title;
  object["detail"] = e.detail;
  return readings::json_text(object) + "\n";
}

}  // namespace

ExportSummary export_alarms(const std::string& history_path, const ExportQuery& query,
                            std::ostream& out) {
  HistoryFile file(history_path);
  const TimeWindow window(query.since, query.until);
  Rows rows(file, select_rows(kEventColumns, e::kTable, query, window));
  bind_query(rows, query, window);
  if (query.format == ExportFormat::kCsv) write_line(out, events_csv_header());
  ExportSummary summary;
  while (rows.next()) {
    const StoredEvent event = event_of(rows);
    if (!event.time) ++summary.unreadable;
    if (place_of(event.time, query) != InRange::kYes) continue;
    write_line(out,
               query.format == ExportFormat::kCsv ? event_csv_line(event) : event_json_line(event));
    ++summary.written;
  }
  if (!out.flush()) throw ExportError("cannot write the export");
  return summary;
}

}  // namespace gw::history
