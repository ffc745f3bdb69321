// The gateway's outputs that run beside the buses, each on its own
// thread, each reading the state table or the event stream and nothing
// else: JSON Lines, the HTTP endpoint (metrics and the status page), MQTT,
// alarm notifications. Set up from the configuration; an output whose
// section is absent is off.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gateway/config/config.h"
#include "gateway/state/service_api.h"

namespace gw::outputs {

class AlarmNotifier;
class HttpEndpoint;
class JsonLinesOutput;
class MqttOutput;

class Outputs {
 public:
  // Sets the configured outputs up: files are opened and the HTTP address
  // is bound now, so that a mistake stops the start (std::runtime_error,
  // naming the field). `jsonl_stdout`: JSON Lines on standard output too.
  Outputs(const config::Config& config, bool jsonl_stdout, state::ServiceApi& api);
  ~Outputs();
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;

  void start();
  // The gateway stops: what waits on a child lets go now (the notifier
  // starts no program and cuts the one that runs short), before the buses
  // and clients are wound down.
  void stopping();
  // Each output takes what is left of the event stream (closed by now),
  // says goodbye where it has someone to tell, and ends.
  void finish();
  // Files are opened again (SIGHUP, after a log rotation).
  void reopen();

  // "127.0.0.1:9120", once bound; nothing when HTTP is off.
  std::optional<std::string> http_address() const;

 private:
  std::unique_ptr<JsonLinesOutput> jsonl_stdout_, jsonl_file_;
  std::unique_ptr<HttpEndpoint> http_;
  std::unique_ptr<AlarmNotifier> notifier_;
  std::unique_ptr<MqttOutput> mqtt_;
};

}  // namespace gw::outputs
