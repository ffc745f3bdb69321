// A unit's row of the state table as the outputs show it: its readings
// decoded by the readings table, how old they are and whether they are
// still fresh, its alarms under their English titles. Every output (the
// control socket, the metrics, the status page, MQTT) renders this view, so
// that none of them judges freshness or names an alarm its own way.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <json/value.h>

#include "gateway/readings/readings.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"

namespace gw::outputs {

// How long a unit's data stays fresh after its last completed round: two
// of its bus's intervals and a minute (a round may fail now and then, and
// a bus may take a while over many units). Older data is stale: no output
// shows it as a current value.
std::chrono::seconds fresh_for(double interval_s);

struct UnitView {
  const state::UnitState* unit = nullptr;
  std::optional<readings::Readings> readings;  // of the last completed round
  std::optional<double> age_s;                 // since the last completed round
  bool fresh = false;  // answering, and the data is not older than fresh_for
};

UnitView view_of(const state::UnitState& unit, const state::StateSnapshot& snapshot,
                 base::SystemTime now);

// "not polled yet", "answering", "not answering".
const char* status_name(state::UnitStatus status);
// The same as a snake_case word (a metric's label value): "not_polled",
// "answering", "not_answering".
const char* status_word(state::UnitStatus status);

// The English title of an alarm: the alarm table's, or, for a signal id
// that it does not know, the plug-in's own title.
std::string english_title(const state::ActiveAlarm& alarm);

// ISO 8601 with offset, or null.
Json::Value time_json(const std::optional<base::SystemTime>& time);

// {"signal_id", "title" (English), "level", "level_name", "since", "detail", "unit_title"
// (the plug-in's title)}.
Json::Value alarm_json(const state::ActiveAlarm& alarm);

// {"name", "title" (for people), "state", "state_since", "last_round", "data_age_s", "fresh",
// "readings" (by English name, those of the last completed round: current
// only when "fresh" is true; null before the first), "alarms"}.
Json::Value view_json(const UnitView& view);

// A completed round: {"unit", "time", "round", "state": "answering",
// "readings" (by English name), "alarms" (active after it)}.
Json::Value round_json(const state::RoundCompleted& round);

}  // namespace gw::outputs
