// The table of unit states: what every reader of the gateway's state (the
// control socket, the metrics, MQTT, the status page) takes its copy from. Bus threads write their
// units' rows after every poll and command; readers take a consistent copy under the table's lock.
// The table holds data only: rendering it is each reader's job.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/base/commands.h"
#include "gateway/base/iso_time.h"
#include "gateway/config/config.h"

namespace gw::state {

enum class UnitStatus {
  kNotPolled,     // no round completed yet since the gateway (or the unit's set-up) started
  kAnswering,     // a round completed since it last was not answering
  kNotAnswering,  // `lost_after_rounds` rounds in a row did not complete
};

// Since the gateway started (carried over when a reload sets the unit up again).
struct UnitCounters {
  long rounds = 0;       // poll rounds tried
  long completed = 0;    // of those, completed
  long requests = 0;     // requests sent, tries again included
  long timeouts = 0;     // tries that got no reply in time
  long bad_replies = 0;  // tries answered by a corrupt or mismatched reply
  long exceptions = 0;   // tries answered by a Modbus exception reply (the unit refused)
  long port_errors = 0;  // tries that failed on a port that was gone
  long given_up = 0;     // requests given up after every try
  long commands = 0;     // commands carried out (whatever their outcome)
};

struct ActiveAlarm {
  std::string signal_id;
  int level = 0;
  std::string title, detail;  // the plug-in's texts (UTF-8)
  std::optional<base::SystemTime> since;
  // A limit alarm's reading and the limit it was compared with, in the
  // reading's unit (C or %), when it was raised; none for a flag alarm.
  std::optional<double> value, limit;
};

struct LastCommand {
  std::string command;  // "set temperature 24", as describe() gives it
  base::CommandOutcome outcome = base::CommandOutcome::kUnknown;
  base::SystemTime at;
  std::string detail;  // what the outcome text leaves out: the limits, the exception
};

struct UnitState {
  std::string name;
  std::string title;  // for people (UTF-8); the name unless the configuration gives one
  std::string port;   // of its bus
  int slave = 0;
  int data_id = 0;
  base::SetpointLimits setpoint_limits;  // the set points its commands may ask for
  // Every alarm of the alarm table by signal id: the level the unit
  // supervises it at, 0 when it does not (config::alarm_level).
  std::map<std::string, int> alarm_levels;
  UnitStatus status = UnitStatus::kNotPolled;
  // Answering: since its first completed round after the start or a loss;
  // not answering: since the first of the rounds that did not complete.
  std::optional<base::SystemTime> status_since;
  std::optional<base::SystemTime> last_round_at;  // the last completed round
  std::string record;  // its record's bytes (121 for the plug-in's units)
  std::string report;  // its status report, JSON text (code 801)
  UnitCounters counters;
  std::vector<ActiveAlarm> alarms;  // by signal id
  std::optional<LastCommand> last_command;
  // Commands by outcome: those carried out, and those refused as busy.
  std::map<base::CommandOutcome, long> commands_by_outcome;
  int commands_waiting = 0;  // queued, not yet carried out
};

struct BusState {
  std::string port;
  bool open = false;
  long lost = 0;          // times the port stopped working
  long reopened = 0;      // times it was opened again
  double interval_s = 0;  // between its passes over the units
};

// The history's writer (one for every bus).
struct HistoryState {
  std::string path;
  bool writable = true;  // false from a failed write or opening until one succeeds
  std::string error;     // the last failure, while not writable
  std::optional<base::SystemTime> failing_since;
  long queued_records = 0, queued_events = 0;  // waiting to be written
  long records_written = 0, events_written = 0;
  long records_lost = 0, events_lost = 0;  // gave way in a full queue, refused or left at the end
};

struct StateSnapshot {
  base::SystemTime started;
  std::vector<BusState> buses;
  std::vector<UnitState> units;  // in the configuration's order
  HistoryState history;
  // Lines that the plug-in printed on standard output: its own diagnostics,
  // which the log keeps at debug level.
  long plugin_output_lines = 0;
};

class StateTable {
 public:
  StateTable() : started_(std::chrono::system_clock::now()) {}

  // Replaces the rows of one bus's units with `units`, in this order
  // (at set-up and after a reload); rows of other buses stay.
  void set_units(const std::string& port, std::vector<UnitState> units);
  // Changes a unit's row under the lock; nothing when it has none.
  void update_unit(const std::string& name, const std::function<void(UnitState&)>& change);
  void update_bus(const BusState& bus);
  // Where snapshots take the history's state from (its writer).
  void set_history_source(std::function<HistoryState()> source);

  // One more line from the plug-in's standard output.
  void count_plugin_output_line() { ++plugin_output_lines_; }

  StateSnapshot snapshot() const;
  std::optional<UnitState> unit(const std::string& name) const;

 private:
  mutable std::mutex mutex_;
  base::SystemTime started_;
  std::vector<BusState> buses_;
  std::vector<UnitState> units_;
  std::function<HistoryState()> history_source_;
  std::atomic<long> plugin_output_lines_{0};
};

}  // namespace gw::state
