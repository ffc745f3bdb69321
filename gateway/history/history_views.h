// What the status page shows of the history: the newest alarm events, and
// the return and supply air's temperature and humidity over a period, read
// from the history file on a read-only connection of their own (the
// gateway goes on writing meanwhile: WAL).
#pragma once

#include <ctime>
#include <string>

#include <json/value.h>

namespace gw::history {

// The names of the series that the page's chart draws.
inline constexpr const char* kAirSeries[] = {"return_air_temperature", "supply_air_temperature",
                                             "return_air_humidity", "supply_air_humidity"};

// The newest `limit` alarm events of every unit, newest first: [{"time",
// "unit", "signal_id", "state", "level", "level_name", "title" (English),
// "detail"}].
// Throws ExportError.
Json::Value recent_alarm_events(const std::string& history_path, int limit);

struct SeriesQuery {
  std::string unit;
  std::time_t since = 0;  // records at or after this instant
  std::time_t until = 0;  // and before this one
  int max_points =
      2000;  // beyond twice as many, every k-th record (k a power of 2, the newest kept)
  double interval_s = 0;  // the unit's bus interval, s: the shortest spacing of its records
};

// Records further apart than kGapAfter times their usual spacing have an
// outage between them: nothing was read (the unit did not answer, its
// rounds did not complete, the gateway was stopped). The usual spacing is
// the larger of the bus interval, the period's median spacing (a pass over
// many units may take longer than the interval) and the history's 1 s.
inline constexpr double kGapAfter = 2.5;

// {"unit", "since", "until" (ISO 8601), "records" (in the period), "step"
// (k), "gaps" (outages in the period), "time": [Unix milliseconds...],
// "series": {name: [values...]}}, oldest first; reload records left out.
// At each outage, a time halfway between the records around it with null
// in every series, so that a chart draws a gap there rather than a line
// across it. Records are read from the newest back to the first one older
// than `since` (the history is stored in time order), so a recent period
// costs little however long the history is, and memory stays within 2 *
// max_points points. Throws ExportError.
Json::Value air_series(const std::string& history_path, const SeriesQuery& query);

}  // namespace gw::history
