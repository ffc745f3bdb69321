// The gateway's configuration file (JSON): the plug-in, the serial bus, the
// history database and the units on the bus with their alarm tables.
//
//   {
//     "plugin": "norvane.so",              path of the plug-in file (never searched for)
//     "history": "history.db",             SQLite database of records and events
//     "history_keep_days": 30,             records older than this are pruned, 0..36500;
//                                          0: never
//     "history_synchronous": "full",       "full" (no committed record lost on power
//                                          loss) or "normal" (the last ones may be)
//     "history_queue": 10000,              records and events that wait while the
//                                          history cannot be written, 1..1000000
//     "history_max_mb": 0,                 the most the database may hold, MiB,
//                                          0..1048576; 0: no limit
//     "interval_s": 5,                     pass start to pass start, s (0.05 too), >= 0
//     "bus": {                             one bus; or "buses" (below)
//       "port": "/dev/ttyS1",               serial device (a tty or a pty)
//       "baud": 9600, "parity": "none",     a termios speed; "none", "even" or "odd"
//       "data_bits": 8, "stop_bits": 1,
//       "response_timeout_ms": 500,         wait for each reply, 1..60000
//       "retries": 1,                       extra tries of an unanswered request, 0..10
//       "lost_after_rounds": 3,             rounds without a completed one before a unit
//                                           is not answering, 1..1000
//       "max_backoff_s": 60,                longest pause between the rounds of a unit
//                                           that is not answering, 1..3600
//       "serial_mode": "rs485",             "rs232" or "rs485" (the driver's RS-485
//                                           mode); absent: the port as it is
//       "rts": "up", "rts_delay_us": 1000   RTS driven by the gateway around a request
//                                           ("none", "up" or "down") and its delay
//     },
//     "units": [{
//       "name": "ac1", "slave": 1, "data_id": 101,      name: 1 to 32 of A-Z a-z 0-9 - _ .
//       "settings": {"appSetting": {"b_mode": "2"}},   given to InitSetting
//       "alarm_levels": {"120800150010": 3},           signal id -> level, 0 = off;
//                                                      "comm_lost": the gateway's own
//       "alarm_thresholds": {"120800090010": 28.0},    signal id -> limit
//       "ao_signal_ids": [],                           analogue signals to check
//       "setpoint_limits": {"temperature": [16, 32],   C, set points allowed
//                           "humidity": [30, 80]}      %; [MIN, MAX] within -999..999
//     }],
//     "buses": [{"port": "/dev/ttyS1", ..., "units": [...]},   instead of "bus" and
//               {"port": "/dev/ttyS2", ..., "units": [...]}]   "units": several buses,
//                                          each entry the fields of "bus" and its units;
//                                          each port once, each unit name once across
//                                          the buses, each slave once on its bus
//     "control": {"socket": "/run/norvane/gateway.sock"},  the control socket
//     "http": {...}, "mqtt": {...}, "notify": {...}, "jsonl": {...}   outputs
//   }                                                     (output_config.h)
//
// Relative paths are taken from the configuration file's folder. Unknown
// fields are errors, so that a misspelt field is never silently ignored.
// The file must be a regular file of at most 1 MiB.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/base/commands.h"
#include "gateway/config/output_config.h"

namespace gw::config {

// Where the service looks without being told otherwise.
inline constexpr char kDefaultConfigFile[] = "/etc/norvane/gateway.json";
inline constexpr char kDefaultControlSocket[] = "/run/norvane/gateway.sock";

// "FILE: FIELD: what is wrong"
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SerialMode { kRs232, kRs485 };
enum class RtsMode { kNone, kUp, kDown };

struct BusSettings {
  std::string port;
  int baud = 9600;
  char parity = 'N';  // 'N', 'E' or 'O', as libmodbus takes it
  int data_bits = 8;
  int stop_bits = 1;
  int response_timeout_ms = 500;
  int retries = 1;
  int lost_after_rounds = 3;
  int max_backoff_s = 60;
  // Set through libmodbus when given; else the port keeps its own.
  std::optional<SerialMode> serial_mode;
  std::optional<RtsMode> rts;
  std::optional<int> rts_delay_us;  // 0..1000000; libmodbus's default: a character time
};

// Whether two buses are the same line: port, speed, framing and the port's
// mode (timeouts, retries and the handling of lost units aside).
bool same_line(const BusSettings& a, const BusSettings& b);

// The level of the communication-loss alarm unless "alarm_levels" gives
// one for "comm_lost"; 0 there leaves the alarm out.
inline constexpr int kDefaultCommLostLevel = 2;

struct UnitConfig {
  std::string name;  // unique; names the unit in output and history
  int slave = 1;     // Modbus address on the bus, 1..247, unique
  int data_id = 0;
  Json::Value settings{Json::objectValue};
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> alarm_thresholds;
  std::vector<std::string> ao_signal_ids;
  base::SetpointLimits setpoint_limits;
  int comm_lost_level = kDefaultCommLostLevel;
};

bool operator==(const UnitConfig& a, const UnitConfig& b);
inline bool operator!=(const UnitConfig& a, const UnitConfig& b) { return !(a == b); }

// What the history keeps and how, besides its path.
struct HistoryOptions {
  // Sized for a small controller: at the 5 s interval a unit stores about
  // 3.7 MB a day (214 bytes a record with the indexes), so 30 days hold
  // about 111 MB a unit and the file stops growing there (SQLite uses
  // freed pages again).
  double keep_days = 30;  // 0: keep every record
  bool synchronous_full = true;
  int queue = 10000;  // records and events waiting
  int max_mb = 0;     // 0: as large as the disk allows
  bool operator==(const HistoryOptions& other) const {
    return keep_days == other.keep_days && synchronous_full == other.synchronous_full &&
           queue == other.queue && max_mb == other.max_mb;
  }
};

// A bus and the units on it.
struct BusConfig {
  BusSettings settings;
  std::vector<UnitConfig> units;  // in the file's order
};

struct Config {
  std::string plugin;   // may be empty here and given on the command line
  std::string history;  // likewise
  HistoryOptions history_options;
  double interval_s = 5.0;
  // One or more, in the file's order ("bus" with "units" gives one); the
  // port of a single bus may be empty here and given on the command line.
  std::vector<BusConfig> buses;
  // The control socket's path; empty when the file gives none (the
  // service then uses kDefaultControlSocket).
  std::string control_socket;
  OutputConfig outputs;  // each off when its section is absent
};

// The units of every bus, bus after bus.
std::vector<UnitConfig> all_units(const Config& config);
// The bus that has the unit named `unit`; nullptr when none has.
const BusConfig* bus_of(const Config& config, const std::string& unit);

// Parses and checks a configuration text; `file` names it in errors and
// gives the folder that relative paths start from (a path without a slash
// becomes "./PATH"). Throws ConfigError.
Config parse_config(const std::string& text, const std::string& file);

// Reads and parses the file at `path`, a regular file of at most 1 MiB.
// Throws ConfigError.
Config load_config(const std::string& path);

// Only the control socket of the file at `path` ("control"."socket", else
// kDefaultControlSocket), for clients: the rest of the file is not
// checked. Throws ConfigError when the file cannot be read or is not JSON.
std::string read_control_socket(const std::string& path);

// A path given on the command line: relative to the working directory, and
// "./NAME" for a bare name, so that it never goes through a search.
std::string command_line_path(const std::string& path);

}  // namespace gw::config
