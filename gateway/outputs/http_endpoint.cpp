#include "gateway/outputs/http_endpoint.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "gateway/base/iso_time.h"
#include "gateway/base/log.h"
#include "gateway/base/utf8.h"
#include "gateway/history/history_export.h"
#include "gateway/history/history_views.h"
#include "gateway/outputs/metrics.h"
#include "gateway/outputs/page_assets.h"
#include "gateway/outputs/page_status.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/local_time.h"
#include "gateway/readings/render.h"

namespace gw::outputs {

// What is sent back: a status, a body of `type` and the headers besides.
struct HttpAnswer {
  unsigned status = 200;
  std::string body;
  std::string type;
  std::vector<std::pair<std::string, std::string>> headers;
};

namespace {

using Clock = RequestDeadlines::Clock;

constexpr unsigned kThreads = 4;  // each waits on its share of the connections (epoll)
constexpr int kBacklog = 128;     // connections accepted by the kernel, not yet by the server
constexpr unsigned kConnectionLimit = 512;          // within the process's 1024 descriptors
constexpr unsigned kPerAddressLimit = 256;          // one address holds at most half of them
constexpr std::chrono::seconds kRequestWithin{10};  // from accept, or from the previous answer
constexpr unsigned kSilentForS = 10;          // a connection with no traffic this long is closed
constexpr size_t kRequestMemory = 32 * 1024;  // request line and headers, bytes (else 414, 431)
constexpr std::chrono::milliseconds kCutEvery{250};  // the deadline's resolution
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

HttpAnswer json_answer(const Json::Value& value) {
  return {200, readings::json_text(value), kJson, {{"Cache-Control", "no-store"}}};
}

HttpAnswer error_answer(unsigned status, const std::string& message) {
  Json::Value error(Json::objectValue);
  error["error"] = message;
  return {status, readings::json_text(error), kJson, {{"Cache-Control", "no-store"}}};
}

HttpAnswer asset(const char* text, const char* type) {
  return {200, text, type, {{"Cache-Control", "no-cache"}}};
}

// A query string's argument: nothing when absent, "" for a name alone.
std::optional<std::string> argument(MHD_Connection* connection, const char* name) {
  const char* value = nullptr;
  size_t size = 0;
  if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, name, std::strlen(name),
                                    &value, &size) != MHD_YES)
    return std::nullopt;
  return value != nullptr ? std::string(value, size) : std::string();
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

// The period of a series request: hours=H back from now, or since= and
// until= (ISO 8601; until defaults to now). Nothing when malformed.
std::optional<history::SeriesQuery> series_query(MHD_Connection* request, std::string& error) {
  history::SeriesQuery query;
  query.unit = argument(request, "unit").value_or("");
  // Up to the second before the last: the records of the seconds still
  // going on are not all stored yet, and a period's points never change
  // once served.
  const std::time_t now = std::time(nullptr) - 1;
  query.until = now;
  if (const std::optional<std::string> since_text = argument(request, "since")) {
    const std::optional<std::string> until_text = argument(request, "until");
    const auto since = readings::parse_time_argument(*since_text);
    const auto until =
        until_text ? readings::parse_time_argument(*until_text) : std::optional<std::time_t>(now);
    if (!since || !until) {
      error = "since and until are ISO 8601 times, e.g. 2024-05-01T12:00:00+02:00";
      return std::nullopt;
    }
    query.since = *since;
    query.until = *until;
  } else {
    const std::string text = argument(request, "hours").value_or("1");
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

// The interval of the named unit's bus, s; nothing when no unit has the name.
std::optional<double> unit_interval(const state::ServiceApi& api, const std::string& name) {
  const state::StateSnapshot snapshot = api.status();
  for (const state::UnitState& unit : snapshot.units) {
    if (unit.name != name) continue;
    for (const state::BusState& bus : snapshot.buses)
      if (bus.port == unit.port) return bus.interval_s;
    return 0.0;
  }
  return std::nullopt;
}

// A listening socket on host:port, or -1; port 0 takes any free one, and
// `port` becomes the one taken. The backlog is set here: the server is
// given the socket listening.
int listen_on(const std::string& host, int& port, bool& v6) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                  address->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, address->ai_addr, address->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return -1;
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  v6 = bound.ss_family == AF_INET6;
  port = ntohs(v6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                  : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  return fd;
}

std::string client_address(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char host[NI_MAXHOST] = "?";
  if (info != nullptr && info->client_addr != nullptr)
    ::getnameinfo(
        info->client_addr,
        info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), host,
        sizeof host, nullptr, 0, NI_NUMERICHOST);
  return host;
}

}  // namespace

// libmicrohttpd's callbacks, on its threads.
struct HttpCallbacks {
  // Called when a request's line and headers are in (and again for each
  // piece of a body). Every answer goes at the first call: no route takes
  // a body, and one sent anyway is dropped.
  static MHD_Result request(void* endpoint_ptr, MHD_Connection* connection, const char* url,
                            const char* method, const char*, const char*, size_t* upload_data_size,
                            void** request_state) {
    auto& endpoint = *static_cast<HttpEndpoint*>(endpoint_ptr);
    if (*request_state != nullptr) {
      *upload_data_size = 0;
      return MHD_YES;
    }
    *request_state = &endpoint;
    endpoint.deadlines_.delivered(connection);
    const HttpAnswer answer = endpoint.answer(connection, method, url);
    if (base::log::enabled(base::log::Level::kDebug))
      base::log::debug("http: " + client_address(connection) + " " + method + " " +
                       base::utf8_excerpt(url, 256) + " " + std::to_string(answer.status));
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;  // out of memory: the connection is closed
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type.c_str());
    for (const auto& [name, value] : answer.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
  }

  static void completed(void* endpoint_ptr, MHD_Connection* connection, void**,
                        MHD_RequestTerminationCode) {
    static_cast<HttpEndpoint*>(endpoint_ptr)->deadlines_.answered(connection, Clock::now());
  }

  static void connection(void* endpoint_ptr, MHD_Connection* connection, void**,
                         MHD_ConnectionNotificationCode code) {
    RequestDeadlines& deadlines = static_cast<HttpEndpoint*>(endpoint_ptr)->deadlines_;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) return deadlines.closed(connection);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) deadlines.opened(connection, info->connect_fd, Clock::now());
  }

  static void log(void*, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line = text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    base::log::debug("http: " + line);
  }
};

HttpEndpoint::HttpEndpoint(const config::HttpConfig& config, std::string history_path,
                           state::ServiceApi& api)
    : config_(config),
      history_path_(std::move(history_path)),
      api_(api),
      deadlines_(kRequestWithin) {
  chart_js_ = read_file(config_.chart_js);
  if (chart_js_.empty())
    base::log::warning("http: " + config_.chart_js +
                       " cannot be read (Debian package libjs-chart.js): the page shows no chart");
  listen_fd_ = listen_on(config_.host, config_.port, v6_);
  const bool v6 = config_.host.find(':') != std::string::npos;
  address_ = (v6 ? "[" + config_.host + "]" : config_.host) + ":" + std::to_string(config_.port);
  if (listen_fd_ < 0)
    throw std::runtime_error("http.listen: cannot listen on " + address_ +
                             " (in use, or not an address of this machine)");
}

HttpEndpoint::~HttpEndpoint() {
  stop();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string HttpEndpoint::history_failed(const std::string& reason) {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (reason != last_failure_) base::log::warning("http: " + reason);
  last_failure_ = reason;
  return kHistoryUnreadable;
}

void HttpEndpoint::start() {
  const unsigned flags =
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG | (v6_ ? MHD_USE_IPv6 : 0);
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpCallbacks::request, this,  //
                             MHD_OPTION_LISTEN_SOCKET, listen_fd_,                       //
                             MHD_OPTION_THREAD_POOL_SIZE, kThreads,                      //
                             MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,              //
                             MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit,       //
                             MHD_OPTION_CONNECTION_TIMEOUT, kSilentForS,                 //
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestMemory,         //
                             MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::connection, this,
                             MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::completed, this,  //
                             MHD_OPTION_EXTERNAL_LOGGER, &HttpCallbacks::log, this,         //
                             MHD_OPTION_END);
  if (daemon_ == nullptr) throw std::runtime_error("http.listen: cannot serve on " + address_);
  listen_fd_ = -1;  // the server's now: it closes it when it stops
  sweeper_ = std::thread([this] { cut_overdue_requests(); });
  base::log::info("http: metrics at http://" + address_ + "/metrics, the status page at http://" +
                  address_ + "/");
}

void HttpEndpoint::cut_overdue_requests() {
  std::unique_lock<std::mutex> lock(sweep_mutex_);
  while (!sweep_wake_.wait_for(lock, kCutEvery, [this] { return stopping_; })) {
    // Shut down, not closed: the server sees the end, closes the
    // connection and lets go of its descriptor itself.
    const int cut = deadlines_.cut_overdue(Clock::now(), [](int fd) { ::shutdown(fd, SHUT_RDWR); });
    if (cut > 0)
      base::log::debug("http: " + std::to_string(cut) +
                       " connection(s) cut: no whole request within the deadline");
  }
}

void HttpEndpoint::stop() {
  if (sweeper_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(sweep_mutex_);
      stopping_ = true;
    }
    sweep_wake_.notify_all();
    sweeper_.join();
  }
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

HttpAnswer HttpEndpoint::answer(MHD_Connection* connection, const std::string& method,
                                const std::string& path) {
  if (method != "GET" && method != "HEAD") {
    HttpAnswer refused = error_answer(405, "read-only: GET and HEAD only");
    refused.headers.emplace_back("Allow", "GET, HEAD");
    return refused;
  }
  if (path == "/metrics")
    return {200,
            metrics_text(api_.info(), api_.status(), std::chrono::system_clock::now()),
            kMetricsContentType,
            {{"Cache-Control", "no-store"}}};
  if (path == "/") {
    HttpAnswer page = asset(page::k_index_html, "text/html; charset=utf-8");
    page.headers.emplace_back("Content-Security-Policy", kPagePolicy);
    return page;
  }
  if (path == "/status.js") return asset(page::k_status_js, "text/javascript; charset=utf-8");
  if (path == "/status.css") return asset(page::k_status_css, "text/css; charset=utf-8");
  if (path == "/chart.js") {
    if (chart_js_.empty())  // logged at start, with its path
      return error_answer(404, "the chart library is not installed on the gateway");
    return {200, chart_js_, "text/javascript; charset=utf-8", {{"Cache-Control", "max-age=86400"}}};
  }
  if (path == "/api/status") return api_status();
  if (path == "/api/readings") {
    static const Json::Value table = readings_table_json();
    return json_answer(table);
  }
  if (path == "/api/series") return api_series(connection);
  if (path == "/api/events") return api_events(connection);
  return error_answer(404, "no such page");
}

HttpAnswer HttpEndpoint::api_status() {
  Json::Value status =
      page_status_json(api_.status(), api_.info().version, std::chrono::system_clock::now());
  try {
    status["events"] = history::recent_alarm_events(history_path_, kRecentEvents);
  } catch (const history::ExportError& failure) {
    status["events"] = Json::Value(Json::arrayValue);
    status["events_error"] = history_failed(failure.what());
  }
  return json_answer(status);
}

HttpAnswer HttpEndpoint::api_series(MHD_Connection* connection) {
  std::string error;
  std::optional<history::SeriesQuery> query = series_query(connection, error);
  if (!query) return error_answer(400, error);
  const std::optional<double> interval_s = unit_interval(api_, query->unit);
  if (!interval_s) return error_answer(404, "no unit named " + base::utf8_excerpt(query->unit, 64));
  query->interval_s = *interval_s;
  try {
    return json_answer(history::air_series(history_path_, *query));
  } catch (const history::ExportError& failure) {
    return error_answer(503, history_failed(failure.what()));
  }
}

HttpAnswer HttpEndpoint::api_events(MHD_Connection* connection) {
  const std::optional<std::string> limit_text = argument(connection, "limit");
  const std::optional<int> limit = limit_text ? whole_number(*limit_text) : 50;
  if (!limit || *limit < 1 || *limit > 1000)
    return error_answer(400, "limit is a whole number from 1 to 1000");
  try {
    return json_answer(history::recent_alarm_events(history_path_, *limit));
  } catch (const history::ExportError& failure) {
    return error_answer(503, history_failed(failure.what()));
  }
}

}  // namespace gw::outputs
