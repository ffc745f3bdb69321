#include "gateway/service/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>

#include "gateway/bus/bus_worker.h"
#include "gateway/bus/port_lock.h"
#include "gateway/bus/rtu_link.h"
#include "gateway/config/usage_error.h"
#include "gateway/devices/host.h"
#include "gateway/devices/plugin.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history_writer.h"
#include "gateway/outputs/outputs.h"
#include "gateway/service/control_server.h"
#include "gateway/service/ctl_format.h"
#include "gateway/service/forward_commands.h"
#include "gateway/service/log.h"
#include "gateway/service/notify.h"
#include "gateway/service/protocol.h"
#include "gateway/service/signals.h"

#ifndef NORVANE_VERSION
#error "NORVANE_VERSION is the project's version"
#endif

namespace gw {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLongestCommandWait{kLongestCommandWaitMs};
constexpr milliseconds kMainLoopTick{1000};
// How long the history may take to write what waits when the gateway stops
// (a lock held by a backup, say), within the service manager's stop timeout.
constexpr milliseconds kHistoryPatienceAtStop{10000};
constexpr milliseconds kSummaryReadWait{2000};

std::string command_target(const RunOptions& options, const Config& config) {
  if (options.commands.empty()) return {};
  if (!options.unit.empty()) {
    for (const UnitConfig& unit : config.units)
      if (unit.name == options.unit) return unit.name;
    throw UsageError("--unit " + options.unit + ": no such unit in " + options.config_file);
  }
  if (config.units.size() != 1) throw UsageError("name the unit of the commands with --unit");
  return config.units.front().name;
}

// Fields whose change a reload cannot apply: they need a restart.
std::vector<std::string> needs_restart(const Config& running, const Config& loaded) {
  std::vector<std::string> fields;
  if (running.plugin != loaded.plugin) fields.push_back("plugin");
  if (running.history != loaded.history || !(running.history_options == loaded.history_options))
    fields.push_back("history");
  if (!same_line(running.bus, loaded.bus))
    fields.push_back("bus (port, baud, framing, serial_mode, rts)");
  if (running.control_socket != loaded.control_socket) fields.push_back("control.socket");
  for (const char* output : {"http", "mqtt", "notify", "jsonl"})
    if (running.outputs.sections[output] != loaded.outputs.sections[output])
      fields.push_back(output);
  return fields;
}

class Service final : public ServiceApi {
 public:
  Service(const RunOptions& options, Config config, std::unique_ptr<RtuLink> link,
          SignalInbox& signals);
  ~Service() override;

  int run(const std::string& target);

  ServiceInfo info() const override {
    return {NORVANE_VERSION, static_cast<long>(::getpid()), options_.config_file};
  }
  StateSnapshot status() const override { return table_.snapshot(); }
  std::shared_ptr<CommandTicket> command(const std::string& unit, const Command& command) override {
    return bus_->submit(unit, command);
  }
  milliseconds command_wait() const override;
  ReloadReport reload() override { return reload_configuration(true); }
  EventStream& events() override { return stream_; }

 private:
  void open_control_socket();
  void main_loop();
  void on_signal(int number);
  ReloadReport reload_configuration(bool wait);
  void update_status();
  void log_states() const;
  void print_summary() const;
  // 4 when a unit completed no round in the rounds asked for (logged).
  int rounds_status() const;

  const RunOptions options_;
  mutable std::mutex config_mutex_;
  Config config_;  // the configuration in use
  SignalInbox& signals_;
  StateTable table_;
  EventStream stream_;
  Notifier notifier_;
  Watchdog watchdog_;
  const int main_kicks_ = watchdog_.join();
  const int bus_kicks_ = watchdog_.join();
  int ended_fd_ = -1;  // an eventfd: the bus's thread ended
  bool stopping_ = false;
  std::mutex reload_mutex_;
  std::unique_ptr<ControlServer> control_;
  std::unique_ptr<Plugin> plugin_;
  std::unique_ptr<HistoryWriter> history_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<BusWorker> bus_;
  std::unique_ptr<outputs::Outputs> outputs_;
};

Service::Service(const RunOptions& options, Config config, std::unique_ptr<RtuLink> link,
                 SignalInbox& signals)
    : options_(options), config_(std::move(config)), signals_(signals) {
  ended_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  open_control_socket();
  plugin_ = std::make_unique<Plugin>(config_.plugin);
  history_ = std::make_unique<HistoryWriter>(config_.history, config_.history_options);
  history_->start();
  table_.set_history_source([this] { return history_->state(); });
  host_ = std::make_unique<Host>(*plugin_, *history_, table_, stream_);
  BusOptions bus;
  bus.interval_s = config_.interval_s;
  bus.lost_after_rounds = config_.bus.lost_after_rounds;
  bus.max_backoff_s = config_.bus.max_backoff_s;
  bus.passes = options_.rounds;
  bus.print_reports = options_.report;
  bus.alive = [this] { watchdog_.kick(bus_kicks_); };
  bus.alive_every = watchdog_.kick_every();
  bus.ended = [this] {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(ended_fd_, &one, sizeof one);
  };
  bus_ = std::make_unique<BusWorker>(std::move(link), config_.units, *host_, table_, stream_,
                                     std::move(bus));
  outputs_ = std::make_unique<outputs::Outputs>(config_, options_.jsonl_stdout, *this);
}

Service::~Service() {
  // The bus stops first and answers the commands that clients wait for;
  // the clients go before the bus that they may still ask.
  if (bus_) bus_->stop();
  outputs_.reset();  // MQTT may still hand the bus commands
  control_.reset();
  bus_.reset();
  host_.reset();
  table_.set_history_source({});
  history_.reset();
  ::close(ended_fd_);
}

// The configuration's socket, or the default one when the file names none:
// a service started by hand, without the runtime folder that the service
// manager makes, runs without one then.
void Service::open_control_socket() {
  const bool given = !config_.control_socket.empty();
  const std::string path = given ? config_.control_socket : kDefaultControlSocket;
  try {
    control_ = std::make_unique<ControlServer>(path, *this);
  } catch (const ControlError& error) {
    if (given) throw;
    log::notice(std::string("no control socket: ") + error.what());
  }
}

int Service::run(const std::string& target) {
  std::vector<std::shared_ptr<CommandTicket>> tickets;
  for (const Command& command : options_.commands) tickets.push_back(bus_->submit(target, command));
  try {
    bus_->start();
  } catch (const std::exception& error) {
    log::error(error.what());
    return 1;
  }
  if (control_) control_->start();
  outputs_->start();
  log::info(std::string("norvane-gateway ") + NORVANE_VERSION + " polls " +
            std::to_string(config_.units.size()) + " units on " + config_.bus.port +
            (control_ ? "; control socket " + control_->path() : std::string()));
  notifier_.ready();
  update_status();
  main_loop();

  notifier_.stopping();
  bus_->stop();
  bus_->join();
  if (control_) control_->stop();
  stream_.close();
  outputs_->finish();
  history_->finish(kHistoryPatienceAtStop);
  print_summary();
  if (const auto error = bus_->error()) {
    log::error(*error);
    return 1;
  }
  const bool all_done = std::all_of(tickets.begin(), tickets.end(), [](const auto& ticket) {
    return ticket->wait(milliseconds(0)).outcome == CommandOutcome::kDone;
  });
  return all_done ? rounds_status() : 3;
}

int Service::rounds_status() const {
  if (!options_.rounds || *options_.rounds == 0) return 0;
  int status = 0;
  for (const UnitState& unit : table_.snapshot().units) {
    if (unit.counters.completed > 0) continue;
    log::error(unit.name + " completed no round in " + std::to_string(unit.counters.rounds) +
               " rounds");
    status = 4;
  }
  return status;
}

void Service::main_loop() {
  const int tick = static_cast<int>(std::min(kMainLoopTick, watchdog_.kick_every()).count());
  while (!stopping_) {
    watchdog_.kick(main_kicks_);
    pollfd waiting[2] = {{signals_.fd(), POLLIN, 0}, {ended_fd_, POLLIN, 0}};
    if (::poll(waiting, 2, tick) < 0) continue;  // EINTR
    while (const std::optional<int> number = signals_.take()) on_signal(*number);
    if (waiting[1].revents != 0) stopping_ = true;  // rounds done, or the bus failed
    update_status();
  }
}

void Service::on_signal(int number) {
  switch (number) {
    case SIGTERM:
    case SIGINT:
      log::notice(std::string("stopping on ") + (number == SIGTERM ? "SIGTERM" : "SIGINT"));
      bus_->stop();  // at once: the main loop ends after this round of signals
      stopping_ = true;
      break;
    case SIGHUP:
      reload_configuration(false);
      outputs_->reopen();
      break;
    case SIGUSR1:
      log_states();
      break;
    case SIGUSR2: {
      static const log::Level configured = log::threshold();
      const bool debug = log::threshold() == log::Level::kDebug && configured != log::Level::kDebug;
      log::set_threshold(debug ? configured : log::Level::kDebug);
      log::notice(std::string("debug log (frame trace) ") + (debug ? "off" : "on"));
      break;
    }
    default:
      break;
  }
}

ReloadReport Service::reload_configuration(bool wait) {
  std::lock_guard<std::mutex> serial(reload_mutex_);
  ReloadReport report;
  notifier_.reloading();
  Config loaded;
  try {
    loaded = effective_config(options_);
  } catch (const ConfigError& error) {
    report.error = error.what();
    log::error(std::string("reload: ") + error.what() + "; the configuration in use stays");
    notifier_.ready();
    return report;
  }
  Config running;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    running = config_;
  }
  report.needs_restart = needs_restart(running, loaded);
  if (!report.needs_restart.empty())
    log::warning("reload: changed, applied after a restart: " + name_list(report.needs_restart));
  BusReload changes{loaded.units,
                    loaded.interval_s,
                    loaded.bus.response_timeout_ms,
                    loaded.bus.retries,
                    loaded.bus.lost_after_rounds,
                    loaded.bus.max_backoff_s};
  // What a reload cannot change stays as it runs, so that it is named again
  // by the next reload.
  loaded.plugin = running.plugin;
  loaded.history = running.history;
  loaded.history_options = running.history_options;
  const BusSettings applied = loaded.bus;
  loaded.bus = running.bus;
  loaded.bus.response_timeout_ms = applied.response_timeout_ms;
  loaded.bus.retries = applied.retries;
  loaded.bus.lost_after_rounds = applied.lost_after_rounds;
  loaded.bus.max_backoff_s = applied.max_backoff_s;
  loaded.control_socket = running.control_socket;
  loaded.outputs = running.outputs;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    config_ = loaded;
  }
  const std::optional<BusReloadResult> result =
      bus_->reload(std::move(changes), wait ? command_wait() : milliseconds(0));
  report.ok = true;
  if (result) {
    report.added = result->added;
    report.removed = result->removed;
    report.set_up_again = result->set_up_again;
    report.unchanged = result->unchanged;
    report.errors = result->errors;
  }
  notifier_.ready();
  return report;
}

milliseconds Service::command_wait() const {
  std::lock_guard<std::mutex> lock(config_mutex_);
  // A round in flight and then the command's own write, each tried
  // retries + 1 times, each try a response timeout and a wait of another.
  const long tries = config_.bus.retries + 1;
  const milliseconds worst(2 * tries * 2 * config_.bus.response_timeout_ms + 5000);
  return std::min(worst, kLongestCommandWait);
}

void Service::update_status() {
  const StateSnapshot snapshot = table_.snapshot();
  long completed = 0;
  int answering = 0;
  std::vector<std::string> silent;
  for (const UnitState& unit : snapshot.units) {
    completed += unit.counters.completed;
    if (unit.status == UnitStatus::kAnswering) ++answering;
    if (unit.status == UnitStatus::kNotAnswering) silent.push_back(unit.name);
  }
  std::string text = std::to_string(completed) + " rounds completed; " + std::to_string(answering) +
                     " of " + std::to_string(snapshot.units.size()) + " units answering";
  if (!silent.empty()) text += "; not answering: " + name_list(silent);
  if (!snapshot.history.writable)
    text += "; history not writable, " + std::to_string(snapshot.history.queued_records) +
            " records waiting";
  notifier_.status(text);
}

void Service::log_states() const {
  const std::string text = format_reply("status", status_reply(info(), table_.snapshot(), nullptr));
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) log::notice(line);
}

// After the history's writer finished: the counts come from the file.
void Service::print_summary() const {
  const StateSnapshot snapshot = table_.snapshot();
  for (const UnitState& unit : snapshot.units) {
    const std::optional<long> records =
        history_->record_count(unit.name, unit.data_id, kSummaryReadWait);
    const UnitCounters& c = unit.counters;
    log::record(log::Level::kInfo,
                "summary " + unit.name + ": rounds " + std::to_string(c.rounds) + " completed " +
                    std::to_string(c.completed) + "; requests " + std::to_string(c.requests) +
                    " timeouts " + std::to_string(c.timeouts) + " bad replies " +
                    std::to_string(c.bad_replies) + " exceptions " + std::to_string(c.exceptions) +
                    " port errors " + std::to_string(c.port_errors) + " given up " +
                    std::to_string(c.given_up) + "; history " +
                    (records ? std::to_string(*records) : "unreadable") + " records");
  }
  for (const BusState& bus : snapshot.buses)
    log::record(log::Level::kInfo, "summary port " + bus.port + ": lost " +
                                       std::to_string(bus.lost) + " reopened " +
                                       std::to_string(bus.reopened));
  const HistoryState& history = snapshot.history;
  log::record(log::Level::kInfo, "summary history " + history.path + ": written " +
                                     std::to_string(history.records_written) + " records " +
                                     std::to_string(history.events_written) + " events; lost " +
                                     std::to_string(history.records_lost) + " records " +
                                     std::to_string(history.events_lost) + " events");
}

}  // namespace

Config effective_config(const RunOptions& options) {
  Config config = load_config(options.config_file);
  if (options.plugin) config.plugin = command_line_path(*options.plugin);
  if (options.port) config.bus.port = *options.port;
  if (options.history) config.history = *options.history;
  if (options.socket) config.control_socket = *options.socket;
  if (options.interval_s) config.interval_s = *options.interval_s;
  auto require = [&](const std::string& value, const char* field, const char* option) {
    if (value.empty())
      throw ConfigError(options.config_file + ": " + field + ": is missing (or give " + option +
                        ")");
  };
  require(config.plugin, "plugin", "--plugin");
  require(config.history, "history", "--history");
  require(config.bus.port, "bus.port", "--port");
  return config;
}

int run_service(const RunOptions& options) {
  SignalInbox signals;  // before any thread, which inherits the blocked signals
  if (options.jsonl_stdout) log::move_records_to_log();
  Config config = effective_config(options);
  const std::string target = command_target(options, config);
  std::unique_ptr<RtuLink> link;
  try {
    link = std::make_unique<RtuLink>(config.bus);
  } catch (const PortBusy& busy) {
    if (!options.commands.empty()) return forward_commands(options, config, target, busy);
    log::error(busy.what());
    return 1;
  }
  Service service(options, std::move(config), std::move(link), signals);
  return service.run(target);
}

}  // namespace gw
