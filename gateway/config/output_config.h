// The configuration of the gateway's outputs, each off when its section is
// absent:
//
//   "http": {"listen": "127.0.0.1:9120"}     metrics (/metrics) and the status page (/)
//   "mqtt": {"host": "broker", ...}          state, alarms, Home Assistant discovery
//   "notify": {"exec": ["/usr/local/bin/page", "--room", "B2"], "min_duration_s": 60}
//   "jsonl": {"path": "/var/log/norvane/rounds.jsonl"}   a JSON object per completed round
//
// Each struct below lists its fields with their defaults and ranges.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace gw::config {

class Fields;

// "http": read-only; nothing can be changed over it.
struct HttpConfig {
  // "listen": "HOST:PORT", "[IPV6]:PORT" or "PORT" (then 127.0.0.1). Port
  // 0 takes any free port, which the log names.
  std::string host = "127.0.0.1";
  int port = 0;
  // "chart_js": the copy of Chart.js that the page loads from the gateway.
  std::string chart_js = "/usr/share/javascript/chart.js/chart.min.js";
};

// "mqtt": "tls" is an object (present: TLS on) with "ca_file" or "ca_path"
// (default /etc/ssl/certs) and, for a client certificate, "cert_file" and
// "key_file".
struct MqttTls {
  std::string ca_file, ca_path = "/etc/ssl/certs", cert_file, key_file;
};

struct MqttConfig {
  std::string host;        // required
  int port = 1883;         // 8883 by default with "tls"
  std::string base_topic;  // default "norvane/HOSTNAME"
  std::string client_id;   // default "norvane-HOSTNAME"
  std::string username;
  std::string password_file;  // the password, its first line; read at start
  std::optional<MqttTls> tls;
  int qos = 0;            // of the state and availability messages; alarm events always at least 1
  bool commands = false;  // take set-point and on/off commands (and announce a climate entity)
  bool discovery = true;  // Home Assistant discovery messages
  std::string discovery_prefix = "homeassistant";
  int keepalive_s = 30;    // 5..3600
  int alarm_queue = 1000;  // alarm events kept while the broker is unreachable, 1..100000
};

// "notify": the program runs on every alarm raised or cleared (comm loss
// and recovery included), never through a shell.
struct NotifyConfig {
  std::vector<std::string> exec;  // program (a path, never searched) and its arguments
  double min_duration_s = 0;      // a change must last this long before it is told, 0..86400
  double timeout_s = 30;          // the program is stopped after this long, 0.1..3600
};

// "jsonl": the JSON Lines file, appended to (opened again on SIGHUP, for
// log rotation).
struct JsonlConfig {
  std::string path;
};

struct OutputConfig {
  std::optional<HttpConfig> http;
  std::optional<MqttConfig> mqtt;
  std::optional<NotifyConfig> notify;
  std::optional<JsonlConfig> jsonl;
  // The sections as written, to tell whether a reload changed them.
  Json::Value sections{Json::objectValue};
};

// Parses the four sections of the top-level object (relative paths from
// the file's folder). Throws ConfigError.
OutputConfig parse_outputs(Fields& top);

}  // namespace gw::config
