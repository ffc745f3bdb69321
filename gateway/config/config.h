// The gateway's configuration file (JSON): the plug-in, the history, the
// serial buses and the units on them with their alarm tables, the control
// socket and the outputs. Every field, with its default, range and whether a
// reload applies it, is a row of field_table.h, whose defaults the structs
// below take; norvane-gateway.json(5) is printed from that table.
//
// Relative paths are taken from the configuration file's folder. Unknown
// fields are errors, so that a misspelt field is never silently ignored.
// The file must be a regular file of at most 1 MiB.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/base/commands.h"
#include "gateway/config/field_table.h"
#include "gateway/config/output_config.h"
#include "gateway/readings/alarm_table.h"

namespace gw::config {

// Where the service looks without being told otherwise.
inline constexpr char kDefaultConfigFile[] = "/etc/norvane/gateway.json";
inline const std::string kDefaultControlSocket{text_default("control", "socket")};

// "FILE: FIELD: what is wrong"
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SerialMode { kRs232, kRs485 };
enum class RtsMode { kNone, kUp, kDown };

// What the choices of the table's "parity", "serial_mode" and "rts" stand
// for, in the table's order.
inline constexpr std::array<char, 3> kParityCodes = {'N', 'E', 'O'};
inline constexpr std::array<SerialMode, 2> kSerialModes = {SerialMode::kRs232, SerialMode::kRs485};
inline constexpr std::array<RtsMode, 3> kRtsModes = {RtsMode::kNone, RtsMode::kUp, RtsMode::kDown};

struct BusSettings {
  std::string port;
  int baud = integer_default("bus", "baud");
  // 'N', 'E' or 'O', as libmodbus takes it
  char parity = kParityCodes[field("bus", "parity").default_choice()];
  int data_bits = integer_default("bus", "data_bits");
  int stop_bits = integer_default("bus", "stop_bits");
  int response_timeout_ms = integer_default("bus", "response_timeout_ms");
  int retries = integer_default("bus", "retries");
  int lost_after_rounds = integer_default("bus", "lost_after_rounds");
  int max_backoff_s = integer_default("bus", "max_backoff_s");
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
inline constexpr int kDefaultCommLostLevel = integer_default("units[].alarm_levels", "comm_lost");
static_assert(kDefaultCommLostLevel ==
                  readings::kAlarmRows[readings::kAlarmRowCount - 1].default_level,
              "the configuration's default level of comm_lost is the alarm table's");

struct UnitConfig {
  std::string name;   // unique; names the unit in output and history
  std::string title;  // for people, UTF-8; the name when the file gives none
  int slave = 1;      // Modbus address on the bus, unique
  int data_id = integer_default("units[]", "data_id");
  Json::Value settings{Json::objectValue};
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> alarm_thresholds;
  std::vector<std::string> ao_signal_ids;
  base::SetpointLimits setpoint_limits;
  int comm_lost_level = kDefaultCommLostLevel;
};

// The ids of the unit's alarms that its configuration leaves unsupervised
// (level 0 or "off"), in the alarm table's order, comm_lost included.
std::vector<std::string> unsupervised_signals(const UnitConfig& unit);

bool operator==(const UnitConfig& a, const UnitConfig& b);
inline bool operator!=(const UnitConfig& a, const UnitConfig& b) { return !(a == b); }

// "full" and "normal", the table's choices of "history_synchronous".
inline constexpr std::array<bool, 2> kSynchronousFull = {true, false};

// The commands' limits are a type of the vocabulary below the
// configuration, with defaults of their own: they must be the table's.
constexpr bool same_range(const base::Range& range, const Field& row) {
  return range.low == row.number && range.high == row.number_high;
}
static_assert(same_range(base::SetpointLimits{}.temperature,
                         field("units[].setpoint_limits", "temperature")) &&
              same_range(base::SetpointLimits{}.humidity,
                         field("units[].setpoint_limits", "humidity")));

// What the history keeps and how, besides its path.
struct HistoryOptions {
  // Sized for a small controller: at the 5 s interval a unit stores about
  // 3.7 MB a day (214 bytes a record with the indexes), so 30 days hold
  // about 111 MB a unit and the file stops growing there (SQLite uses
  // freed pages again).
  double keep_days = number_default("", "history_keep_days");  // 0: keep every record
  bool synchronous_full = kSynchronousFull[field("", "history_synchronous").default_choice()];
  int queue = integer_default("", "history_queue");    // records and events waiting
  int max_mb = integer_default("", "history_max_mb");  // 0: as large as the disk allows
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
  double interval_s = number_default("", "interval_s");
  // One or more, in the file's order ("bus" with "units" gives one); the
  // port of a single bus may be empty here and given on the command line.
  std::vector<BusConfig> buses;
  // The control socket's path; empty when the file gives none (the
  // service then uses kDefaultControlSocket).
  std::string control_socket;
  OutputConfig outputs;  // each off when its section is absent
};

// The level at which `unit` supervises the alarm `signal_id`: the one its
// "alarm_levels" gives (comm_lost's own for the loss of communication); 0,
// unsupervised, for a signal that it leaves out.
int alarm_level(const UnitConfig& unit, std::string_view signal_id);

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
