#include "gateway/outputs/http_endpoint.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <sstream>

#include "gateway/base/iso_time.h"
#include "gateway/base/log.h"
#include "gateway/base/utf8.h"
#include "gateway/history/history_export.h"
#include "gateway/history/history_views.h"
#include "gateway/outputs/metrics.h"
#include "gateway/outputs/page_assets.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/local_time.h"
#include "gateway/readings/render.h"

namespace gw::outputs {
namespace {

using httplib::Request;
using httplib::Response;

constexpr int kThreads = 4;
constexpr int kRecentEvents = 20;
constexpr double kLongestPeriodHours = 31 * 24;

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kPagePolicy[] =
    "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
    "frame-ancestors 'none'";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

void send_json(Response& response, const Json::Value& value) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(readings::json_text(value), kJson);
}

void send_error(Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_header("Cache-Control", "no-store");
  Json::Value error(Json::objectValue);
  error["error"] = message;
  response.set_content(readings::json_text(error), kJson);
}

void send_asset(Response& response, const char* text, const char* type) {
  response.set_header("Cache-Control", "no-cache");
  response.set_content(text, type);
}

const char* kind_name(readings::ReadingKind kind) {
  switch (kind) {
    case readings::ReadingKind::kNumber:
      return "number";
    case readings::ReadingKind::kEnumeration:
      return "enumeration";
    case readings::ReadingKind::kFlag:
      return "flag";
    case readings::ReadingKind::kTime:
      break;
  }
  return "time";
}

Json::Value readings_table_json() {
  Json::Value table(Json::arrayValue);
  for (int i = 0; i < readings::kWordReadingCount; ++i) {
    const readings::ReadingRow& row = readings::kReadingRows[i];
    Json::Value& entry = table.append(Json::Value(Json::objectValue));
    entry["name"] = row.name;
    entry["description"] = row.description;
    entry["unit"] = readings::unit_symbol(row.unit);
    entry["scale"] = row.scale == readings::Scale::kTenths ? "tenths" : "whole";
    entry["kind"] = kind_name(row.kind);
  }
  return table;
}

constexpr char kHistoryUnreadable[] = "the history cannot be read now (the gateway's log says why)";

Json::Value status_json(const state::ServiceApi& api) {
  const state::StateSnapshot snapshot = api.status();
  const base::SystemTime now = std::chrono::system_clock::now();
  Json::Value json(Json::objectValue);
  Json::Value& gateway = json["gateway"] = Json::Value(Json::objectValue);
  gateway["version"] = api.info().version;
  gateway["started"] = base::iso_time(snapshot.started);
  gateway["time"] = base::iso_time(now);
  Json::Value& units = json["units"] = Json::Value(Json::arrayValue);
  for (const state::UnitState& unit : snapshot.units) {
    Json::Value& entry = units.append(view_json(view_of(unit, snapshot, now)));
    entry["slave"] = unit.slave;
    entry["data_id"] = unit.data_id;
    entry["bus"] = unit.port;
  }
  return json;
}

// The period of a series request: hours=H back from now, or since= and
// until= (ISO 8601; until defaults to now). Nothing when malformed.
std::optional<history::SeriesQuery> series_query(const Request& request, std::string& error) {
  history::SeriesQuery query;
  query.unit = request.get_param_value("unit");
  // Up to the second before the last: the records of the seconds still
  // going on are not all stored yet, and a period's points never change
  // once served.
  const std::time_t now = std::time(nullptr) - 1;
  query.until = now;
  if (request.has_param("since")) {
    const auto since = readings::parse_time_argument(request.get_param_value("since"));
    const auto until = request.has_param("until")
                           ? readings::parse_time_argument(request.get_param_value("until"))
                           : std::optional<std::time_t>(now);
    if (!since || !until) {
      error = "since and until are ISO 8601 times, e.g. 2024-05-01T12:00:00+02:00";
      return std::nullopt;
    }
    query.since = *since;
    query.until = *until;
  } else {
    const std::string text = request.has_param("hours") ? request.get_param_value("hours") : "1";
    char* end = nullptr;
    const double hours = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(hours > 0) || hours > kLongestPeriodHours) {
      error = "hours is a number from 0 to 744";
      return std::nullopt;
    }
    query.since = now - static_cast<std::time_t>(hours * 3600);
  }
  if (query.until - query.since > kLongestPeriodHours * 3600 || query.until <= query.since) {
    error = "the period is at most 31 days, since before until";
    return std::nullopt;
  }
  return query;
}

// A query's whole number, all of its text: nothing for "", "12abc" or one
// beyond int's range.
std::optional<int> whole_number(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

bool has_unit(const state::ServiceApi& api, const std::string& name) {
  for (const state::UnitState& unit : api.status().units)
    if (unit.name == name) return true;
  return false;
}

}  // namespace

HttpEndpoint::HttpEndpoint(const config::HttpConfig& config, std::string history_path,
                           state::ServiceApi& api)
    : config_(config),
      history_path_(std::move(history_path)),
      api_(api),
      server_(std::make_unique<httplib::Server>()) {
  chart_js_ = read_file(config_.chart_js);
  if (chart_js_.empty())
    base::log::warning("http: " + config_.chart_js +
                       " cannot be read (Debian package libjs-chart.js): the page shows no chart");
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server_->set_keep_alive_timeout(2);
  server_->set_read_timeout(5);
  server_->set_write_timeout(5);
  add_routes();
  const bool bound = config_.port == 0
                         ? (config_.port = server_->bind_to_any_port(config_.host)) > 0
                         : server_->bind_to_port(config_.host, config_.port);
  const bool v6 = config_.host.find(':') != std::string::npos;
  address_ = (v6 ? "[" + config_.host + "]" : config_.host) + ":" + std::to_string(config_.port);
  if (!bound)
    throw std::runtime_error("http.listen: cannot listen on " + address_ +
                             " (in use, or not an address of this machine)");
}

HttpEndpoint::~HttpEndpoint() { stop(); }

std::string HttpEndpoint::history_failed(const std::string& reason) {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (reason != last_failure_) base::log::warning("http: " + reason);
  last_failure_ = reason;
  return kHistoryUnreadable;
}

void HttpEndpoint::start() {
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listening_done_ = true;
  });
  base::log::info("http: metrics at http://" + address_ + "/metrics, the status page at http://" +
                  address_ + "/");
}

void HttpEndpoint::stop() {
  if (!thread_.joinable()) return;
  // stop() before the server runs would be lost: wait for it (briefly).
  for (int i = 0; i < 500 && !server_->is_running() && !listening_done_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  server_->stop();
  thread_.join();
}

void HttpEndpoint::add_routes() {
  httplib::Server& server = *server_;
  server.set_pre_routing_handler([](const Request& request, Response& response) {
    if (request.method == "GET" || request.method == "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    response.set_header("Allow", "GET, HEAD");
    send_error(response, 405, "read-only: GET and HEAD only");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_default_headers({{"X-Content-Type-Options", "nosniff"}});
  server.set_logger([](const Request& request, const Response& response) {
    if (base::log::enabled(base::log::Level::kDebug))
      base::log::debug("http: " + request.remote_addr + " " + request.method + " " + request.path +
                       " " + std::to_string(response.status));
  });
  server.Get("/metrics", [this](const Request&, Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(metrics_text(api_.info(), api_.status(), std::chrono::system_clock::now()),
                         kMetricsContentType);
  });
  server.Get("/", [](const Request&, Response& response) {
    response.set_header("Content-Security-Policy", kPagePolicy);
    send_asset(response, page::k_index_html, "text/html; charset=utf-8");
  });
  server.Get("/status.js", [](const Request&, Response& response) {
    send_asset(response, page::k_status_js, "text/javascript; charset=utf-8");
  });
  server.Get("/status.css", [](const Request&, Response& response) {
    send_asset(response, page::k_status_css, "text/css; charset=utf-8");
  });
  server.Get("/chart.js", [this](const Request&, Response& response) {
    if (chart_js_.empty())  // logged at start, with its path
      return send_error(response, 404, "the chart library is not installed on the gateway");
    response.set_header("Cache-Control", "max-age=86400");
    response.set_content(chart_js_, "text/javascript; charset=utf-8");
  });
  server.Get("/api/status", [this](const Request&, Response& response) {
    Json::Value status = status_json(api_);
    try {
      status["events"] = history::recent_alarm_events(history_path_, kRecentEvents);
    } catch (const history::ExportError& failure) {
      status["events"] = Json::Value(Json::arrayValue);
      status["events_error"] = history_failed(failure.what());
    }
    send_json(response, status);
  });
  server.Get("/api/readings", [](const Request&, Response& response) {
    static const Json::Value table = readings_table_json();
    send_json(response, table);
  });
  server.Get("/api/series", [this](const Request& request, Response& response) {
    std::string error;
    const std::optional<history::SeriesQuery> query = series_query(request, error);
    if (!query) return send_error(response, 400, error);
    if (!has_unit(api_, query->unit))
      return send_error(response, 404, "no unit named " + base::utf8_excerpt(query->unit, 64));
    try {
      send_json(response, history::air_series(history_path_, *query));
    } catch (const history::ExportError& failure) {
      send_error(response, 503, history_failed(failure.what()));
    }
  });
  server.Get("/api/events", [this](const Request& request, Response& response) {
    const std::optional<int> limit =
        request.has_param("limit") ? whole_number(request.get_param_value("limit")) : 50;
    if (!limit || *limit < 1 || *limit > 1000)
      return send_error(response, 400, "limit is a whole number from 1 to 1000");
    try {
      send_json(response, history::recent_alarm_events(history_path_, *limit));
    } catch (const history::ExportError& failure) {
      send_error(response, 503, history_failed(failure.what()));
    }
  });
}

}  // namespace gw::outputs
