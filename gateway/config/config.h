// The gateway's configuration file (JSON): the plug-in, the serial bus, the
// history database and the units on the bus with their alarm tables.
//
//   {
//     "plugin": "norvane.so",              path of the plug-in file
//     "history": "history.db",             SQLite database of records and events
//     "interval_s": 5,                     seconds from round to round, >= 0
//     "bus": {
//       "port": "/dev/ttyS1",               serial device (a tty or a pty)
//       "baud": 9600, "parity": "none",     "none", "even" or "odd"
//       "data_bits": 8, "stop_bits": 1,
//       "response_timeout_ms": 500,         wait for each reply, 1..60000
//       "retries": 1                        extra tries of an unanswered request, 0..10
//     },
//     "units": [{
//       "name": "ac1", "slave": 1, "data_id": 101,
//       "settings": {"appSetting": {"b_mode": "2"}},   given to InitSetting
//       "alarm_levels": {"120800150010": 3},           signal id -> level, 0 = off
//       "alarm_thresholds": {"120800090010": 28.0},    signal id -> limit
//       "ao_signal_ids": []                            analogue signals to check
//     }],
//     "control": {"socket": "/run/norvane/gateway.sock"},  the control socket
//     "http": {...}, "mqtt": {...}, "notify": {...}, "jsonl": {...}   outputs
//   }                                                     (output_config.h)
//
// Relative paths are taken from the configuration file's folder. Unknown
// fields are errors, so that a misspelt field is never silently ignored.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/config/output_config.h"

namespace gw {

// Where the service looks without being told otherwise.
inline constexpr char kDefaultConfigFile[] = "/etc/norvane/gateway.json";
inline constexpr char kDefaultControlSocket[] = "/run/norvane/gateway.sock";

// "FILE: FIELD: what is wrong"
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BusSettings {
  std::string port;
  int baud = 9600;
  char parity = 'N';  // 'N', 'E' or 'O', as libmodbus takes it
  int data_bits = 8;
  int stop_bits = 1;
  int response_timeout_ms = 500;
  int retries = 1;
};

// Whether two buses are the same line: port, speed and framing (timeouts
// and retries aside).
bool same_line(const BusSettings& a, const BusSettings& b);

struct UnitConfig {
  std::string name;  // unique; names the unit in output and history
  int slave = 1;     // Modbus address on the bus, 1..247, unique
  int data_id = 0;
  Json::Value settings{Json::objectValue};
  std::map<std::string, int> alarm_levels;
  std::map<std::string, float> alarm_thresholds;
  std::vector<std::string> ao_signal_ids;
};

bool operator==(const UnitConfig& a, const UnitConfig& b);
inline bool operator!=(const UnitConfig& a, const UnitConfig& b) { return !(a == b); }

struct Config {
  std::string plugin;   // may be empty here and given on the command line
  std::string history;  // likewise
  double interval_s = 5.0;
  BusSettings bus;
  std::vector<UnitConfig> units;
  // The control socket's path; empty when the file gives none (the
  // service then uses kDefaultControlSocket).
  std::string control_socket;
  OutputConfig outputs;  // each off when its section is absent
};

// Parses and checks a configuration text; `file` names it in errors and
// gives the folder that relative paths start from. Throws ConfigError.
Config parse_config(const std::string& text, const std::string& file);

// Reads and parses the file at `path`. Throws ConfigError.
Config load_config(const std::string& path);

// Only the control socket of the file at `path` ("control"."socket", else
// kDefaultControlSocket), for clients: the rest of the file is not
// checked. Throws ConfigError when the file cannot be read or is not JSON.
std::string read_control_socket(const std::string& path);

}  // namespace gw
