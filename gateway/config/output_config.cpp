#include "gateway/config/output_config.h"

#include "gateway/config/fields.h"

namespace gw::config {
namespace {

// "HOST:PORT", "[IPV6]:PORT" or "PORT".
void parse_listen(Fields& http, HttpConfig& config) {
  const std::string field = http.path_of("listen");
  const std::string listen = http.text("listen");
  if (listen.empty()) http.fail(field, "is missing");
  std::string host, port = listen;
  if (listen[0] == '[') {
    const size_t close = listen.find(']');
    if (close == std::string::npos || listen.compare(close + 1, 1, ":") != 0)
      http.fail(field, "must be \"[ADDRESS]:PORT\" for an IPv6 address");
    host = listen.substr(1, close - 1);
    port = listen.substr(close + 2);
  } else if (const size_t colon = listen.rfind(':'); colon != std::string::npos) {
    host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
    if (host.find(':') != std::string::npos)
      http.fail(field, "an IPv6 address goes in brackets: \"[::1]:9120\"");
  }
  if (!host.empty()) config.host = host;
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoi(port) > 65535)
    http.fail(field, "must end in a port number from 0 to 65535 (\"HOST:PORT\")");
  config.port = std::stoi(port);
}

HttpConfig parse_http(const Json::Value& value, const std::string& file) {
  Fields http(value, "http", file, {"http"});
  HttpConfig config;
  parse_listen(http, config);
  config.chart_js = resolve(http.text("chart_js"), file);
  http.reject_unknown();
  return config;
}

MqttTls parse_tls(const Json::Value& value, const std::string& file) {
  Fields tls(value, "mqtt.tls", file, {"mqtt.tls"});
  MqttTls config;
  config.ca_file = resolve(tls.text("ca_file"), file);
  config.ca_path = resolve(tls.text("ca_path"), file);
  config.cert_file = resolve(tls.text("cert_file"), file);
  config.key_file = resolve(tls.text("key_file"), file);
  if (config.cert_file.empty() != config.key_file.empty())
    tls.fail(tls.path_of(config.cert_file.empty() ? "cert_file" : "key_file"),
             "a client certificate needs both cert_file and key_file");
  tls.reject_unknown();
  return config;
}

// A topic that we publish under: no wildcards, no empty level at its ends.
void check_topic(Fields& mqtt, std::string_view key, const std::string& topic) {
  if (topic.find_first_of("+#") != std::string::npos || topic.front() == '/' || topic.back() == '/')
    mqtt.fail(mqtt.path_of(key), "must be a topic without '+', '#' or a '/' at either end");
}

MqttConfig parse_mqtt(const Json::Value& value, const std::string& file) {
  Fields mqtt(value, "mqtt", file, {"mqtt"});
  MqttConfig config;
  config.host = mqtt.text("host");
  if (config.host.empty()) mqtt.fail(mqtt.path_of("host"), "is missing");
  if (const Json::Value* tls = mqtt.optional("tls")) config.tls = parse_tls(*tls, file);
  config.port = mqtt.integer("port", config.tls ? kMqttTlsPort : config.port);
  config.base_topic = mqtt.text("base_topic");
  if (!config.base_topic.empty()) check_topic(mqtt, "base_topic", config.base_topic);
  config.client_id = mqtt.text("client_id");
  if (config.client_id.size() > 65535) mqtt.fail(mqtt.path_of("client_id"), "is too long");
  config.username = mqtt.text("username");
  config.password_file = resolve(mqtt.text("password_file"), file);
  if (!config.password_file.empty() && config.username.empty())
    mqtt.fail(mqtt.path_of("password_file"), "needs a username");
  config.qos = mqtt.integer("qos");
  config.commands = mqtt.flag("commands");
  config.discovery = mqtt.flag("discovery");
  config.discovery_prefix = mqtt.text("discovery_prefix");
  check_topic(mqtt, "discovery_prefix", config.discovery_prefix);
  config.keepalive_s = mqtt.integer("keepalive_s");
  config.alarm_queue = mqtt.integer("alarm_queue");
  mqtt.reject_unknown();
  return config;
}

NotifyConfig parse_notify(const Json::Value& value, const std::string& file) {
  Fields notify(value, "notify", file, {"notify"});
  NotifyConfig config;
  const std::string field = notify.path_of("exec");
  const Json::Value& exec = notify.required("exec");
  if (!exec.isArray() || exec.empty())
    notify.fail(field, "must be an array: the program, then its arguments");
  for (Json::ArrayIndex i = 0; i < exec.size(); ++i) {
    if (!exec[i].isString() || (i == 0 && exec[i].asString().empty()))
      notify.fail(field + "[" + std::to_string(i) + "]", "must be a string");
    config.exec.push_back(exec[i].asString());
  }
  // A path, never looked up on PATH: relative to the file's folder.
  config.exec[0] = resolve(config.exec[0], file);
  config.min_duration_s = notify.number("min_duration_s");
  config.timeout_s = notify.number("timeout_s");
  notify.reject_unknown();
  return config;
}

JsonlConfig parse_jsonl(const Json::Value& value, const std::string& file) {
  Fields jsonl(value, "jsonl", file, {"jsonl"});
  JsonlConfig config;
  config.path = resolve(jsonl.text("path"), file);
  if (config.path.empty()) jsonl.fail(jsonl.path_of("path"), "is missing");
  jsonl.reject_unknown();
  return config;
}

}  // namespace

OutputConfig parse_outputs(Fields& top) {
  OutputConfig outputs;
  const std::string& file = top.file();
  auto section = [&](const char* key) {
    const Json::Value* value = top.optional(key);
    if (value != nullptr) outputs.sections[key] = *value;
    return value;
  };
  if (const Json::Value* http = section("http")) outputs.http = parse_http(*http, file);
  if (const Json::Value* mqtt = section("mqtt")) outputs.mqtt = parse_mqtt(*mqtt, file);
  if (const Json::Value* notify = section("notify")) outputs.notify = parse_notify(*notify, file);
  if (const Json::Value* jsonl = section("jsonl")) outputs.jsonl = parse_jsonl(*jsonl, file);
  return outputs;
}

}  // namespace gw::config
