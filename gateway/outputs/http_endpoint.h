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
// Any other method is answered 405. Served by libmicrohttpd on a few
// threads of its own, each waiting on many connections at once (epoll), so
// that slow or idle clients hold sockets, never threads. Its limits (the
// constants in http_endpoint.cpp, docs/outputs.md): a request arrives
// whole within 10 s of its connection's accept or of the previous answer
// (RequestDeadlines), a connection silent for 10 s is closed, 512
// connections at most, 256 from one address, a backlog of 128, 32 KiB of
// request line and headers. Every answer is rendered from a snapshot of
// the state table or read from the history file. An error answer says what
// failed, never where: the paths of the history and the chart library go
// to the log only.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/config/output_config.h"
#include "gateway/outputs/request_deadlines.h"
#include "gateway/state/service_api.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace gw::outputs {

struct HttpAnswer;
struct HttpCallbacks;

class HttpEndpoint {
 public:
  // Binds the address now (connections wait in the backlog until start()).
  // Throws std::runtime_error naming "http.listen".
  HttpEndpoint(const config::HttpConfig& config, std::string history_path, state::ServiceApi& api);
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  void start();
  // Finishes the answers being rendered, closes every connection and stops.
  void stop();
  // "127.0.0.1:9120", "[::1]:9120": the bound address.
  const std::string& address() const { return address_; }

 private:
  HttpAnswer answer(MHD_Connection* connection, const std::string& method, const std::string& path);
  HttpAnswer api_status();
  HttpAnswer api_series(MHD_Connection* connection);
  HttpAnswer api_events(MHD_Connection* connection);
  // Cuts, every quarter second, the connections past their request's deadline.
  void cut_overdue_requests();
  // Logs why the history could not be read (a reason once, not at every
  // request); the text for the answer, without the file's path.
  std::string history_failed(const std::string& reason);

  config::HttpConfig config_;
  std::string history_path_;
  state::ServiceApi& api_;
  std::string chart_js_;  // its text; empty when it cannot be read
  int listen_fd_ = -1;    // until start() hands it to the server
  bool v6_ = false;
  MHD_Daemon* daemon_ = nullptr;
  std::string address_;
  RequestDeadlines deadlines_;
  std::mutex failure_mutex_;
  std::string last_failure_;  // the reason logged last
  std::mutex sweep_mutex_;
  std::condition_variable sweep_wake_;
  bool stopping_ = false;
  std::thread sweeper_;

  friend struct HttpCallbacks;
};

}  // namespace gw::outputs
