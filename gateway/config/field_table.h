// Every field of the configuration file, once: its place, type, default,
// range or allowed values, whether a reload applies it, and what it is.
// The parser takes its names, defaults and ranges from here (a field that
// is not here cannot be read), the reload plan which changes a reload
// applies, and norvane-config-reference prints the file's manual page
// (norvane-gateway.json(5)) from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gw::config {

enum class FieldType {
  kText,         // a non-empty string
  kPath,         // a string; relative: from the configuration file's folder
  kName,         // a unit's name: 1 to 32 of A-Z a-z 0-9 - _ .
  kTitle,        // a title for people: 1 to 64 characters of UTF-8, no control character
  kInteger,      // a whole number from `low` to `high`
  kNumber,       // a number from `low` to `high`, fractions allowed
  kFlag,         // true or false
  kChoice,       // one of `choices`
  kSpeed,        // a speed of the serial line (serial_speeds.h)
  kListen,       // "HOST:PORT", "[IPV6]:PORT" or "PORT"
  kRange,        // [MIN, MAX], each from `low` to `high`, MIN < MAX
  kLevels,       // an object: 12-digit signal id to a whole number
  kLimits,       // an object: 12-digit signal id to a number
  kSignalIds,    // an array of 12-digit signal ids
  kObject,       // any object, passed on as it is
  kCommand,      // an array of strings: a program, then its arguments
  kSection,      // an object of the fields whose section is `members`
  kSectionList,  // an array of such objects
};

enum class Reload {
  kApplied,  // a reload applies a change
  kRestart,  // a change waits for a restart (a reload names it)
  kFields,   // a section: as each of its fields says
};

struct Field {
  std::string_view section;  // "" (top level), "bus", "units[]", "mqtt.tls", ...
  std::string_view name;
  FieldType type;
  Reload reload;
  // The default: `number` for whole numbers, numbers and flags (1: true),
  // [number, number_high] for a range, `text` for texts, paths and choices.
  // `note` says it instead where it is no plain value ("required", "absent:
  // off", a default that depends on another field).
  double number = 0;
  double number_high = 0;
  std::string_view text = {};
  std::string_view note = {};
  double low = 0, high = 0;                      // kInteger, kNumber, kRange
  std::array<std::string_view, 3> choices = {};  // kChoice, in this order
  std::string_view unit = {};                    // of a number, in its error: "seconds"
  std::string_view members = {};                 // kSection, kSectionList: the members' section
  std::string_view description = {};

  // "bus.baud", "units[].setpoint_limits.humidity", "plugin".
  std::string path() const {
    return section.empty() ? std::string(name) : std::string(section) + "." + std::string(name);
  }
  constexpr size_t choice_count() const {
    size_t count = 0;
    while (count < choices.size() && !choices[count].empty()) ++count;
    return count;
  }
  constexpr Field of_type(FieldType other) const {
    Field copy = *this;
    copy.type = other;
    return copy;
  }
  constexpr Field with_text(std::string_view other) const {
    Field copy = *this;
    copy.text = other;
    return copy;
  }
  // The index in `choices` of the default.
  constexpr size_t default_choice() const {
    for (size_t i = 0; i < choice_count(); ++i)
      if (choices[i] == text) return i;
    throw std::logic_error("a choice's default is not among its choices");
  }
};

// The value part of a row, by kind; row() adds the place and the words.
namespace rows {

constexpr Field of(FieldType type) {
  Field field{};
  field.type = type;
  return field;
}
constexpr Field whole(double fallback, double low, double high, std::string_view unit = {}) {
  Field field = of(FieldType::kInteger);
  field.number = fallback;
  field.low = low;
  field.high = high;
  field.unit = unit;
  return field;
}
constexpr Field number(double fallback, double low, double high, std::string_view unit) {
  Field field = whole(fallback, low, high, unit);
  field.type = FieldType::kNumber;
  return field;
}
constexpr Field text(FieldType type, std::string_view fallback = {}) {
  Field field = of(type);
  field.text = fallback;
  return field;
}
constexpr Field choice(std::string_view fallback, std::array<std::string_view, 3> choices) {
  Field field = text(FieldType::kChoice, fallback);
  field.choices = choices;
  return field;
}
constexpr Field flag(bool fallback) {
  Field field = of(FieldType::kFlag);
  field.number = fallback ? 1 : 0;
  return field;
}
// [low, high] by default, each end within [smallest, largest].
constexpr Field range(double low, double high, double smallest, double largest,
                      std::string_view unit) {
  Field field = number(low, smallest, largest, unit);
  field.type = FieldType::kRange;
  field.number_high = high;
  return field;
}
constexpr Field section(FieldType type, std::string_view members) {
  Field field = of(type);
  field.members = members;
  return field;
}

constexpr Field row(std::string_view section, std::string_view name, Reload reload, Field value,
                    std::string_view description, std::string_view note = {}) {
  value.section = section;
  value.name = name;
  value.reload = reload;
  value.description = description;
  value.note = note;
  return value;
}

inline constexpr double kInt32Low = INT32_MIN, kInt32High = INT32_MAX;
inline constexpr Reload kApplied = Reload::kApplied, kRestart = Reload::kRestart,
                        kFields = Reload::kFields;

}  // namespace rows

// The sections in the order of the manual page, each after the row that
// holds it.
inline constexpr Field kFields[] = {
    // The top level.
    rows::row("", "plugin", rows::kRestart, rows::text(FieldType::kPath),
              "the plug-in file, never searched for: a name without a folder is the file beside "
              "the configuration, and one given with --plugin is taken from the working directory",
              "required here or --plugin"),
    rows::row("", "history", rows::kRestart, rows::text(FieldType::kPath),
              "the SQLite database of the records and events", "required here or --history"),
    rows::row("", "history_keep_days", rows::kRestart, rows::number(30, 0, 36500, "days"),
              "records older than this are pruned; 0 keeps every record"),
    rows::row("", "history_synchronous", rows::kRestart, rows::choice("full", {"full", "normal"}),
              "\"full\": no committed record is lost at a power loss; \"normal\": the last ones "
              "may be"),
    rows::row("", "history_queue", rows::kRestart, rows::whole(10000, 1, 1000000),
              "records and alarm events that may wait while the history cannot be written"),
    rows::row("", "history_max_mb", rows::kRestart, rows::whole(0, 0, 1048576, "MiB"),
              "the most the history may hold, MiB; 0: no limit; at the limit records wait as on "
              "a full disk"),
    rows::row("", "interval_s", rows::kApplied, rows::number(5, 0, 86400, "seconds"),
              "from the start of a pass over a bus's units to the start of the next (0.05 too); "
              "0 polls back to back; a pass that starts late does not move the next"),
    rows::row("", "bus", rows::kFields, rows::section(FieldType::kSection, "bus"),
              "one serial line, with \"units\"", "required, unless \"buses\""),
    rows::row("", "units", rows::kApplied, rows::section(FieldType::kSectionList, "units[]"),
              "the units on the bus, not empty: names unique, slave addresses unique; a reload "
              "adds, removes and sets up again the units that changed",
              "required with \"bus\""),
    rows::row("", "buses", rows::kFields, rows::section(FieldType::kSectionList, "buses[]"),
              "several serial lines, each polled by a thread of its own: each entry takes the "
              "fields of \"bus\" (\"port\" required, each port in one entry only) and its "
              "\"units\"; unit names are unique across the buses. Buses are matched by port at a "
              "reload; a bus added or removed needs a restart, and until then no bus's units "
              "change",
              "instead of \"bus\" and \"units\""),
    rows::row("", "control", rows::kFields, rows::section(FieldType::kSection, "control"),
              "the control socket"),
    rows::row("", "http", rows::kRestart, rows::section(FieldType::kSection, "http"),
              "Prometheus metrics at /metrics and a status page at /, read-only", "absent: off"),
    rows::row("", "mqtt", rows::kRestart, rows::section(FieldType::kSection, "mqtt"),
              "each unit's state, availability and alarms, alarm events and Home Assistant "
              "discovery, published to an MQTT broker",
              "absent: off"),
    rows::row("", "notify", rows::kRestart, rows::section(FieldType::kSection, "notify"),
              "a program run, never through a shell, for every alarm raised or cleared "
              "(communication loss and recovery included)",
              "absent: off"),
    rows::row("", "jsonl", rows::kRestart, rows::section(FieldType::kSection, "jsonl"),
              "a JSON object per completed round, appended to a file (opened again on SIGHUP, for "
              "log rotation)",
              "absent: off"),

    // One serial line: "bus", or an entry of "buses".
    rows::row("bus", "port", rows::kRestart, rows::text(FieldType::kText),
              "the serial device (a tty or a pty)", "required (for a single bus: here or --port)"),
    rows::row("bus", "baud", rows::kRestart, rows::whole(9600, 0, 0), "a speed of the serial line")
        .of_type(FieldType::kSpeed),
    rows::row("bus", "parity", rows::kRestart, rows::choice("none", {"none", "even", "odd"}),
              "the parity bit"),
    rows::row("bus", "data_bits", rows::kRestart, rows::whole(8, 5, 8), "data bits of a character"),
    rows::row("bus", "stop_bits", rows::kRestart, rows::whole(1, 1, 2), "stop bits of a character"),
    rows::row("bus", "response_timeout_ms", rows::kApplied, rows::whole(500, 1, 60000, "ms"),
              "the wait for each reply, ms"),
    rows::row("bus", "retries", rows::kApplied, rows::whole(1, 0, 10),
              "tries again of an unanswered request"),
    rows::row("bus", "lost_after_rounds", rows::kApplied, rows::whole(3, 1, 1000),
              "rounds in a row without a completed one before a unit is not answering"),
    rows::row("bus", "max_backoff_s", rows::kApplied, rows::whole(60, 1, 3600, "seconds"),
              "the longest pause between the rounds of a unit that is not answering, s"),
    rows::row("bus", "serial_mode", rows::kRestart, rows::choice({}, {"rs232", "rs485"}),
              "the serial driver's RS-232 or RS-485 mode", "absent: the port as it is"),
    rows::row("bus", "rts", rows::kRestart, rows::choice({}, {"none", "up", "down"}),
              "RTS driven by the gateway around each request, and its level while sending",
              "absent: libmodbus's (none)"),
    rows::row("bus", "rts_delay_us", rows::kRestart, rows::whole(0, 0, 1000000, "us"),
              "the delay after RTS is raised and before it is lowered, us",
              "absent: a character time"),

    // An entry of "buses", besides the fields of "bus".
    rows::row("buses[]", "units", rows::kApplied, rows::section(FieldType::kSectionList, "units[]"),
              "the bus's units, not empty, with the fields of \"units\"; a slave address is "
              "unique on its bus",
              "required"),

    // A unit: an entry of "units".
    rows::row("units[]", "name", rows::kApplied, rows::of(FieldType::kName),
              "names the unit in the output, the history and commands; unique, also as Home "
              "Assistant's ids take it (lower case, a run of '-', '_' and '.' as one '_'), "
              "so \"ac.1\" and \"ac_1\" are refused together",
              "required"),
    rows::row("units[]", "title", rows::kApplied, rows::of(FieldType::kTitle),
              "the unit's name for people: the device's name in Home Assistant, on the status "
              "page and in notifications",
              "the unit's name"),
    rows::row("units[]", "slave", rows::kApplied, rows::whole(0, 1, 247),
              "the unit's Modbus address, unique on its bus", "required"),
    rows::row("units[]", "data_id", rows::kApplied,
              rows::whole(0, rows::kInt32Low, rows::kInt32High), "the device's data id"),
    rows::row("units[]", "settings", rows::kApplied, rows::text(FieldType::kObject, "{}"),
              "given to the device as its settings (\"appSetting\": {\"b_mode\": a number or a "
              "string such as \"2\"})"),
    rows::row("units[]", "alarm_levels", rows::kApplied,
              rows::whole(0, rows::kInt32Low, rows::kInt32High)
                  .of_type(FieldType::kLevels)
                  .with_text("{}"),
              "signal id to the level of its alarm: a whole number, higher is worse, or its "
              "name, \"warning\" (1), \"major\" (2), \"critical\" (3); 0 or \"off\" "
              "leaves the signal unsupervised on purpose",
              "every alarm the unit can raise at its default level (docs/readings.md)"),
    rows::row("units[]", "alarm_thresholds", rows::kApplied, rows::text(FieldType::kLimits, "{}"),
              "signal id to the limit of its alarm, C or %",
              "the unit's own limit setting from its record, read every round"),
    rows::row("units[]", "ao_signal_ids", rows::kApplied, rows::text(FieldType::kSignalIds, "[]"),
              "analogue signals to check"),
    rows::row("units[]", "setpoint_limits", rows::kFields,
              rows::section(FieldType::kSection, "units[].setpoint_limits"),
              "the set points that a command may ask of the unit"),
    rows::row("units[].alarm_levels", "comm_lost", rows::kApplied,
              rows::whole(2, rows::kInt32Low, rows::kInt32High),
              "the level of the gateway's own alarm when the unit stops answering; 0 or \"off\": "
              "none"),
    rows::row("units[].setpoint_limits", "temperature", rows::kApplied,
              rows::range(16, 32, -999, 999, "C"),
              "[MIN, MAX] of a temperature set point, C, with a whole degree in it (set points "
              "are whole degrees)"),
    rows::row("units[].setpoint_limits", "humidity", rows::kApplied,
              rows::range(30, 80, 0, 100, "%"),
              "[MIN, MAX] of a humidity set point, %, with two whole percent in it at least "
              "(Home Assistant needs its lowest below its highest)"),

    rows::row("control", "socket", rows::kRestart,
              rows::text(FieldType::kPath, "/run/norvane/gateway.sock"),
              "the control socket's path (norvane-gateway ctl)"),

    rows::row("http", "listen", rows::kRestart, rows::of(FieldType::kListen),
              "\"HOST:PORT\", \"[IPV6]:PORT\" or \"PORT\" (then 127.0.0.1); port 0 takes any "
              "free port, which the log names",
              "required"),
    rows::row("http", "chart_js", rows::kRestart,
              rows::text(FieldType::kPath, "/usr/share/javascript/chart.js/chart.min.js"),
              "the copy of Chart.js that the status page loads from the gateway"),

    rows::row("mqtt", "host", rows::kRestart, rows::of(FieldType::kText), "the broker", "required"),
    rows::row("mqtt", "port", rows::kRestart, rows::whole(1883, 1, 65535), "the broker's port",
              "1883; 8883 with \"tls\""),
    rows::row("mqtt", "base_topic", rows::kRestart, rows::of(FieldType::kText),
              "the topic that every message is published under", "norvane/HOSTNAME"),
    rows::row("mqtt", "client_id", rows::kRestart, rows::of(FieldType::kText),
              "the client id, at most 65535 bytes", "norvane-HOSTNAME"),
    rows::row("mqtt", "username", rows::kRestart, rows::of(FieldType::kText),
              "the user name at the broker", "absent: none"),
    rows::row("mqtt", "password_file", rows::kRestart, rows::of(FieldType::kPath),
              "a file whose first line is the password (read at start); needs \"username\"",
              "absent: none"),
    rows::row("mqtt", "tls", rows::kRestart, rows::section(FieldType::kSection, "mqtt.tls"),
              "present: TLS", "absent: no TLS"),
    rows::row("mqtt", "qos", rows::kRestart, rows::whole(0, 0, 2),
              "of the state and availability messages; alarm events are sent at 1 at least"),
    rows::row("mqtt", "commands", rows::kRestart, rows::flag(false),
              "take set-point and on/off commands from the broker (and announce a climate "
              "entity)"),
    rows::row("mqtt", "discovery", rows::kRestart, rows::flag(true),
              "send Home Assistant discovery messages"),
    rows::row("mqtt", "discovery_prefix", rows::kRestart,
              rows::text(FieldType::kText, "homeassistant"), "the topic of the discovery messages"),
    rows::row("mqtt", "keepalive_s", rows::kRestart, rows::whole(30, 5, 3600, "seconds"),
              "the MQTT keep-alive, s"),
    rows::row("mqtt", "alarm_queue", rows::kRestart, rows::whole(1000, 1, 100000),
              "alarm events kept while the broker cannot be reached"),

    rows::row("mqtt.tls", "ca_file", rows::kRestart, rows::of(FieldType::kPath),
              "the certificate authorities' file", "absent: none"),
    rows::row("mqtt.tls", "ca_path", rows::kRestart, rows::text(FieldType::kPath, "/etc/ssl/certs"),
              "the certificate authorities' folder"),
    rows::row("mqtt.tls", "cert_file", rows::kRestart, rows::of(FieldType::kPath),
              "a client certificate; needs \"key_file\"", "absent: none"),
    rows::row("mqtt.tls", "key_file", rows::kRestart, rows::of(FieldType::kPath),
              "the client certificate's key; needs \"cert_file\"", "absent: none"),

    rows::row("notify", "exec", rows::kRestart, rows::of(FieldType::kCommand),
              "the program (a path, never searched for) and its arguments; the alarm is in its "
              "environment",
              "required"),
    rows::row("notify", "min_duration_s", rows::kRestart, rows::number(0, 0, 86400, "seconds"),
              "how long a change must last before it is told, s"),
    rows::row("notify", "timeout_s", rows::kRestart, rows::number(30, 0.1, 3600, "seconds"),
              "the program is stopped after this long, s"),

    rows::row("jsonl", "path", rows::kRestart, rows::of(FieldType::kPath), "the JSON Lines file",
              "required"),
};

// The field `name` of `section`, found at compile time where it is used in
// a constant expression; nullptr when there is none.
constexpr const Field* find_field(std::string_view section, std::string_view name) {
  for (const Field& field : kFields)
    if (field.section == section && field.name == name) return &field;
  return nullptr;
}

// (The row itself, not through find_field: g++ 12 with -fsanitize=undefined
// cannot fold a comparison of a pointer into the table with nullptr.)
constexpr const Field& field(std::string_view section, std::string_view name) {
  for (const Field& row : kFields)
    if (row.section == section && row.name == name) return row;
  throw std::logic_error("no such configuration field");
}

// Defaults, for the structs' member initialisers.
constexpr int integer_default(std::string_view section, std::string_view name) {
  return static_cast<int>(field(section, name).number);
}
constexpr double number_default(std::string_view section, std::string_view name) {
  return field(section, name).number;
}
constexpr bool flag_default(std::string_view section, std::string_view name) {
  return field(section, name).number != 0;
}
constexpr std::string_view text_default(std::string_view section, std::string_view name) {
  return field(section, name).text;
}

}  // namespace gw::config
