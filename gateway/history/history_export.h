// The history out of the gateway: the stored records decoded into readings
// by English name, and the alarm events, as CSV (RFC 4180: a header line,
// CRLF line ends) or JSON Lines (one object a line), written row by row to
// a stream as they are read, so that memory stays flat on a file of any
// size. Times are ISO 8601 with the local offset.
//
// Readings, CSV columns: time, unit, data_id, [reload,] then every reading
// by name with its unit as the metrics name it (return_air_temperature_celsius,
// return_air_humidity_percent, compressor_run_time_seconds; run_state):
// numbers in their scale: 24.1; flags "alarm" or "normal"; enumerations
// by name. JSON Lines: {"time", "unit", "data_id",
// ["reload",] "readings": {name: value}} with numbers, booleans for flags
// and names for enumerations.
//
// Alarm events, CSV columns and JSON members: time, unit, signal_id, state
// ("raised" or "cleared"), level, title (English; the stored title for a
// signal id that the table does not know), stored_title, detail.
#pragma once

#include <ctime>
#include <optional>
#include <ostream>
#include <string>

#include "gateway/history/history_reader.h"

namespace gw::history {

enum class ExportFormat { kCsv, kJsonl };

struct ExportQuery {
  std::optional<std::string> unit;   // one unit's rows; every unit's when empty
  std::optional<std::time_t> since;  // rows at or after this instant
  std::optional<std::time_t> until;  // rows before this instant
  ExportFormat format = ExportFormat::kCsv;
  // Reload rows are left out; with this, written and marked (a "reload"
  // column, true or false, in every row).
  bool include_reloads = false;
};

struct ExportSummary {
  long written = 0;
  long reloads_left_out = 0;
  // Records that are not the 121 bytes of one (left out), and rows whose
  // time is not a time (written with an empty time; left out when the
  // query has a since or until). With a since or until, only the rows
  // whose stored time text lies near the period are looked at and counted.
  long unreadable = 0;
};

// Whether the history holds a record or an alarm event of `unit`. Throws
// ExportError when the file cannot be opened or read.
bool history_has_unit(const std::string& history_path, const std::string& unit);

// Throw ExportError when the file cannot be opened or read, or the stream
// cannot be written.
ExportSummary export_readings(const std::string& history_path, const ExportQuery& query,
                              std::ostream& out);
ExportSummary export_alarms(const std::string& history_path, const ExportQuery& query,
                            std::ostream& out);

}  // namespace gw::history
