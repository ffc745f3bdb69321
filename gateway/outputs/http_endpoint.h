// The gateway's HTTP endpoint ("http": {"listen": "HOST:PORT"}): read-only,
// nothing on it changes the gateway or reaches a unit.
//
//   GET /metrics         Prometheus text exposition (metrics.h)
//   GET /                the status page (page/), with /status.js, /status.css
//   GET /chart.js        Chart.js, from the installed copy ("http"."chart_js")
//   GET /api/status      every unit's state, readings and alarms; the recent alarm events
//   GET /api/readings    the readings table: name, description, unit, scale, kind
//   GET /api/series?unit=U&hours=H   (or &since=T&until=T, ISO 8601) the air over a period
//   GET /api/events?limit=N          the newest alarm events from the history
//
// Any other method is answered 405. Served by cpp-httplib on a few
// threads of its own; every answer is rendered from a snapshot of the
// state table or read from the history file. An error answer says what
// failed, never where: the paths of the history and the chart library go
// to the log only.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/config/output_config.h"
#include "gateway/state/service_api.h"

namespace httplib {
class Server;
}

namespace gw::outputs {

class HttpEndpoint {
 public:
  // Binds the address now. Throws std::runtime_error naming "http.listen".
  HttpEndpoint(const config::HttpConfig& config, std::string history_path, state::ServiceApi& api);
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  void start();
  // Answers what is in flight and stops.
  void stop();
  // "127.0.0.1:9120", "[::1]:9120": the bound address.
  const std::string& address() const { return address_; }

 private:
  void add_routes();
  // Logs why the history could not be read (a reason once, not at every
  // request); the text for the answer, without the file's path.
  std::string history_failed(const std::string& reason);

  config::HttpConfig config_;
  std::string history_path_;
  state::ServiceApi& api_;
  std::string chart_js_;  // its text; empty when it cannot be read
  std::unique_ptr<httplib::Server> server_;
  std::string address_;
  std::atomic<bool> listening_done_{false};
  std::mutex failure_mutex_;
  std::string last_failure_;  // the reason logged last
  std::thread thread_;
};

}  // namespace gw::outputs
