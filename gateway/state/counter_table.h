// The counters of the state table as every reader names them: the control
// socket's keys, ctl's words, the metrics' names and help texts. A counter
// added to UnitCounters or BusState, or a figure of the whole service, is
// one row here, and every output shows it.
#pragma once

#include <chrono>

#include "gateway/state/unit_table.h"

namespace gw::state {

template <typename Counters>
struct CounterRow {
  const char* key;     // key on the control socket, snake_case
  const char* words;   // for people ("bad replies")
  const char* metric;  // the Prometheus counter, "norvane_..._total"; nullptr: not a metric
  const char* help;
  long Counters::*field;
};

// Per unit, since the gateway started.
inline constexpr CounterRow<UnitCounters> kUnitCounterRows[] = {
    {"rounds", "rounds", "norvane_rounds_total", "Poll rounds tried", &UnitCounters::rounds},
    {"completed", "completed", "norvane_rounds_completed_total", "Poll rounds completed",
     &UnitCounters::completed},
    {"requests", "requests", "norvane_requests_total", "Modbus requests sent, tries again included",
     &UnitCounters::requests},
    {"timeouts", "timeouts", "norvane_timeouts_total", "Tries that got no reply in time",
     &UnitCounters::timeouts},
    {"bad_replies", "bad replies", "norvane_bad_replies_total",
     "Tries answered by a corrupt, refused or mismatched reply", &UnitCounters::bad_replies},
    {"exceptions", "exceptions", "norvane_exception_replies_total",
     "Tries answered by a Modbus exception reply (the unit refused the request)",
     &UnitCounters::exceptions},
    {"port_errors", "port errors", "norvane_port_errors_total",
     "Tries that failed on a serial port that was gone", &UnitCounters::port_errors},
    {"given_up", "given up", "norvane_requests_given_up_total", "Requests given up after every try",
     &UnitCounters::given_up},
    // The metrics count commands by outcome (norvane_commands_total).
    {"commands", "commands", nullptr, "Commands carried out", &UnitCounters::commands},
};

// Per bus (serial port).
inline constexpr CounterRow<BusState> kBusCounterRows[] = {
    {"lost", "lost", "norvane_port_lost_total", "Times the serial port stopped working",
     &BusState::lost},
    {"reopened", "reopened", "norvane_port_reopened_total",
     "Times the serial port was opened again", &BusState::reopened},
};

// The service's own figures, of the whole snapshot: a metric each.
struct ServiceFigureRow {
  const char* metric;
  const char* help;
  const char* type;  // "counter" (a name ending in _total) or "gauge"
  double (*value)(const StateSnapshot& snapshot);
};

inline double started_unix_time(const StateSnapshot& snapshot) {
  return std::chrono::duration<double>(snapshot.started.time_since_epoch()).count();
}

inline double history_writable(const StateSnapshot& s) { return s.history.writable ? 1 : 0; }
inline double history_queued_records(const StateSnapshot& s) {
  return static_cast<double>(s.history.queued_records);
}
inline double history_queued_events(const StateSnapshot& s) {
  return static_cast<double>(s.history.queued_events);
}
inline double history_records_written(const StateSnapshot& s) {
  return static_cast<double>(s.history.records_written);
}
inline double history_events_written(const StateSnapshot& s) {
  return static_cast<double>(s.history.events_written);
}
inline double history_records_lost(const StateSnapshot& s) {
  return static_cast<double>(s.history.records_lost);
}
inline double history_events_lost(const StateSnapshot& s) {
  return static_cast<double>(s.history.events_lost);
}

inline double plugin_output_lines(const StateSnapshot& s) {
  return static_cast<double>(s.plugin_output_lines);
}

inline constexpr ServiceFigureRow kServiceFigureRows[] = {
    {"norvane_start_time_seconds", "When the gateway started, as a Unix time", "gauge",
     &started_unix_time},
    {"norvane_history_writable", "1 while the history can be written, 0 while writes fail", "gauge",
     &history_writable},
    {"norvane_history_queued_records", "Records waiting to be written to the history", "gauge",
     &history_queued_records},
    {"norvane_history_queued_events", "Alarm events waiting to be written to the history", "gauge",
     &history_queued_events},
    {"norvane_history_records_written_total", "Records written to the history", "counter",
     &history_records_written},
    {"norvane_history_events_written_total", "Alarm events written to the history", "counter",
     &history_events_written},
    {"norvane_history_records_lost_total",
     "Records that never reached the history (a full queue, a refused write)", "counter",
     &history_records_lost},
    {"norvane_history_events_lost_total",
     "Alarm events that never reached the history (a full queue, a refused write)", "counter",
     &history_events_lost},
    {"norvane_plugin_output_lines_total",
     "Lines the plug-in printed on its standard output: its own diagnostics, logged at debug "
     "level",
     "counter", &plugin_output_lines},
};

}  // namespace gw::state
