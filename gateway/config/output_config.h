// The configuration of the gateway's outputs, each off when its section is
// absent:
//
//   "http": {"listen": "127.0.0.1:9120"}     metrics (/metrics) and the status page (/)
//   "mqtt": {"host": "broker", ...}          state, alarms, Home Assistant discovery
//   "notify": {"exec": ["/usr/local/bin/page", "--room", "B2"], "min_duration_s": 60}
//   "jsonl": {"path": "/var/log/norvane/rounds.jsonl"}   a JSON object per completed round
//
// Their fields, defaults and ranges are rows of field_table.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/config/field_table.h"

namespace gw::config {

class Fields;

// "http": read-only; nothing can be changed over it.
struct HttpConfig {
  // "listen": "HOST:PORT", "[IPV6]:PORT" or "PORT" (then 127.0.0.1). Port
  // 0 takes any free port, which the log names.
  std::string host = "127.0.0.1";
  int port = 0;
  // "chart_js": the copy of Chart.js that the page loads from the gateway.
  std::string chart_js{text_default("http", "chart_js")};
};

// "mqtt": "tls" is an object (present: TLS on) with "ca_file" or "ca_path"
// (default /etc/ssl/certs) and, for a client certificate, "cert_file" and
// "key_file".
struct MqttTls {
  std::string ca_file, ca_path{text_default("mqtt.tls", "ca_path")}, cert_file, key_file;
};

// The broker's port with "tls" unless one is given; the table's note of
// "port" says so.
inline constexpr int kMqttTlsPort = 8883;
static_assert(field("mqtt", "port").note.find("8883") != std::string_view::npos);

struct MqttConfig {
  std::string host;                            // required
  int port = integer_default("mqtt", "port");  // 8883 by default with "tls"
  std::string base_topic;                      // default "norvane/HOSTNAME"
  std::string client_id;                       // default "norvane-HOSTNAME"
  std::string username;
  std::string password_file;  // the password, its first line; read at start
  std::optional<MqttTls> tls;
  int qos = integer_default("mqtt", "qos");  // of the state and availability messages
  bool commands = flag_default("mqtt", "commands");
  bool discovery = flag_default("mqtt", "discovery");
  std::string discovery_prefix{text_default("mqtt", "discovery_prefix")};
  int keepalive_s = integer_default("mqtt", "keepalive_s");
  int alarm_queue = integer_default("mqtt", "alarm_queue");
};

// "notify": the program runs on every alarm raised or cleared (comm loss
// and recovery included), never through a shell.
struct NotifyConfig {
  std::vector<std::string> exec;  // program (a path, never searched) and its arguments
  double min_duration_s = number_default("notify", "min_duration_s");
  double timeout_s = number_default("notify", "timeout_s");
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
