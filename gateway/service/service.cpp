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

#include "gateway/base/log.h"
#include "gateway/base/usage_error.h"
#include "gateway/bus/bus_set.h"
#include "gateway/control/control_server.h"
#include "gateway/control/ctl_format.h"
#include "gateway/control/protocol.h"
#include "gateway/devices/host.h"
#include "gateway/devices/plugin.h"
#include "gateway/devices/unit_names.h"
#include "gateway/history/history_writer.h"
#include "gateway/line/port_lock.h"
#include "gateway/line/rtu_link.h"
#include "gateway/outputs/outputs.h"
#include "gateway/service/forward_commands.h"
#include "gateway/service/notify.h"
#include "gateway/service/plugin_output.h"
#include "gateway/service/reload_plan.h"
#include "gateway/service/signals.h"
#include "gateway/service/startup.h"

#ifndef NORVANE_VERSION
#error "NORVANE_VERSION is the project's version"
#endif

namespace gw::service {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLongestCommandWait{kLongestCommandWaitMs};
constexpr milliseconds kMainLoopTick{1000};
// How long the history may take to write what waits when the gateway stops
// (a lock held by a backup, say), within the service manager's stop timeout.
constexpr milliseconds kHistoryPatienceAtStop{10000};
constexpr milliseconds kSummaryReadWait{2000};

std::string port_list(const config::Config& config) {
  std::vector<std::string> ports;
  for (const config::BusConfig& bus : config.buses) ports.push_back(bus.settings.port);
  return devices::name_list(ports);
}

class Service final : public state::ServiceApi {
 public:
  // `links`: one for each of the configuration's buses, in its order.
  Service(const RunOptions& options, config::Config config,
          std::vector<std::unique_ptr<line::RtuLink>> links, SignalInbox& signals);
  ~Service() override;

  int run(const std::string& target);

  state::ServiceInfo info() const override {
    return {NORVANE_VERSION, static_cast<long>(::getpid()), options_.config_file};
  }
  state::StateSnapshot status() const override { return table_.snapshot(); }
  std::shared_ptr<base::CommandTicket> command(const std::string& unit,
                                               const base::Command& command) override {
    return buses_->submit(unit, command);
  }
  milliseconds command_wait() const override;
  state::ReloadReport reload() override { return reload_configuration(true); }
  state::EventStream& events() override { return stream_; }

 private:
  void open_control_socket();
  bus::BusOptions bus_options(const config::BusSettings& settings);
  void main_loop();
  void on_signal(int number);
  state::ReloadReport reload_configuration(bool wait);
  void update_status();
  void log_states() const;
  void print_summary() const;
  // 4 when a unit completed no round in the rounds asked for (logged).
  int rounds_status() const;
  // Whether the rounds asked for lost records or alarm events that the
  // history could not hold (logged): the run did not do what it was for.
  bool history_lost() const;

  const RunOptions options_;
  mutable std::mutex config_mutex_;
  config::Config config_;  // the configuration in use
  SignalInbox& signals_;
  state::StateTable table_;
  state::EventStream stream_;
  Notifier notifier_;
  Watchdog watchdog_;
  const int main_kicks_ = watchdog_.join();
  int ended_fd_ = -1;  // an eventfd: a bus's thread ended
  bool stopping_ = false;
  std::mutex reload_mutex_;
  std::unique_ptr<control::ControlServer> control_;
  // Before the plug-in is loaded, and given back after it is gone.
  std::unique_ptr<PluginOutput> plugin_output_;
  std::unique_ptr<devices::Plugin> plugin_;
  std::unique_ptr<history::HistoryWriter> history_;
  std::unique_ptr<devices::Host> host_;
  std::unique_ptr<bus::BusSet> buses_;
  std::unique_ptr<outputs::Outputs> outputs_;
};

Service::Service(const RunOptions& options, config::Config config,
                 std::vector<std::unique_ptr<line::RtuLink>> links, SignalInbox& signals)
    : options_(options), config_(std::move(config)), signals_(signals) {
  ended_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  open_control_socket();
  plugin_output_ = std::make_unique<PluginOutput>([this](const std::string& line) {
    table_.count_plugin_output_line();
    base::log::debug("plug-in: " + line);
  });
  plugin_ = std::make_unique<devices::Plugin>(config_.plugin);
  history_ = std::make_unique<history::HistoryWriter>(config_.history, config_.history_options);
  history_->start();
  table_.set_history_source([this] { return history_->state(); });
  host_ = std::make_unique<devices::Host>(*plugin_, *history_, table_, stream_);
  buses_ = std::make_unique<bus::BusSet>();
  for (size_t i = 0; i < links.size(); ++i) {
    const config::BusConfig& bus = config_.buses[i];
    buses_->add(std::make_unique<bus::BusWorker>(std::move(links[i]), bus.units, *host_, table_,
                                                 stream_, bus_options(bus.settings)));
  }
  outputs_ = std::make_unique<outputs::Outputs>(config_, options_.jsonl_stdout, *this);
}

bus::BusOptions Service::bus_options(const config::BusSettings& settings) {
  bus::BusOptions bus;
  bus.interval_s = config_.interval_s;
  bus.lost_after_rounds = settings.lost_after_rounds;
  bus.max_backoff_s = settings.max_backoff_s;
  bus.passes = options_.rounds;
  bus.print_reports = options_.report;
  const int kicks = watchdog_.join();  // each bus's loop must be alive
  bus.alive = [this, kicks] { watchdog_.kick(kicks); };
  bus.alive_every = watchdog_.kick_every();
  bus.ended = [this, kicks] {
    watchdog_.leave(kicks);  // its rounds done, while other buses poll on
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(ended_fd_, &one, sizeof one);
  };
  return bus;
}

Service::~Service() {
  // The buses stop first and answer the commands that clients wait for;
  // the clients go before the buses that they may still ask.
  if (buses_) buses_->stop();
  outputs_.reset();  // MQTT may still hand the buses commands
  control_.reset();
  buses_.reset();
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
  const std::string path = given ? config_.control_socket : config::kDefaultControlSocket;
  try {
    control_ = std::make_unique<control::ControlServer>(path, *this);
  } catch (const control::ControlError& error) {
    if (given) throw;
    base::log::notice(std::string("no control socket: ") + error.what());
  }
}

int Service::run(const std::string& target) {
  std::vector<std::shared_ptr<base::CommandTicket>> tickets;
  for (const base::Command& command : options_.commands)
    tickets.push_back(buses_->submit(target, command));
  try {
    buses_->start();
  } catch (const std::exception& error) {
    base::log::error(error.what());
    return 1;
  }
  if (control_) control_->start();
  outputs_->start();
  base::log::info(std::string("norvane-gateway ") + NORVANE_VERSION + " polls " +
                  std::to_string(config::all_units(config_).size()) + " units on " +
                  port_list(config_) +
                  (control_ ? "; control socket " + control_->path() : std::string()));
  notifier_.ready();
  update_status();
  main_loop();

  notifier_.stopping();
  outputs_->stopping();  // a notification program is cut short while the buses wind down
  buses_->stop();
  buses_->join();
  if (control_) control_->stop();
  stream_.close();
  outputs_->finish();
  history_->finish(kHistoryPatienceAtStop);
  print_summary();
  const std::vector<std::string> errors = buses_->errors();
  for (const std::string& error : errors) base::log::error(error);
  if (!errors.empty() || history_lost()) return 1;
  const bool all_done = std::all_of(tickets.begin(), tickets.end(), [](const auto& ticket) {
    return ticket->wait(milliseconds(0)).outcome == base::CommandOutcome::kDone;
  });
  return all_done ? rounds_status() : 3;
}

int Service::rounds_status() const {
  if (!options_.rounds || *options_.rounds == 0) return 0;
  int status = 0;
  for (const state::UnitState& unit : table_.snapshot().units) {
    if (unit.counters.completed > 0) continue;
    base::log::error(unit.name + " completed no round in " + std::to_string(unit.counters.rounds) +
                     " rounds");
    status = 4;
  }
  return status;
}

bool Service::history_lost() const {
  if (!options_.rounds) return false;
  const state::HistoryState history = history_->state();
  if (history.records_lost + history.events_lost == 0) return false;
  base::log::error("history " + history.path + ": " + std::to_string(history.records_lost) +
                   " records and " + std::to_string(history.events_lost) +
                   " alarm events of the rounds asked for were lost");
  return true;
}

void Service::main_loop() {
  const int tick = static_cast<int>(std::min(kMainLoopTick, watchdog_.kick_every()).count());
  while (!stopping_) {
    watchdog_.kick(main_kicks_);
    pollfd waiting[2] = {{signals_.fd(), POLLIN, 0}, {ended_fd_, POLLIN, 0}};
    if (::poll(waiting, 2, tick) < 0) continue;  // EINTR
    while (const std::optional<int> number = signals_.take()) on_signal(*number);
    if (waiting[1].revents != 0) {
      uint64_t ended = 0;
      [[maybe_unused]] const ssize_t got = ::read(ended_fd_, &ended, sizeof ended);
      // A bus that failed stops them all; rounds done end the gateway
      // when every bus has done them.
      if (!buses_->errors().empty() || buses_->all_ended()) stopping_ = true;
    }
    update_status();
  }
}

void Service::on_signal(int number) {
  switch (number) {
    case SIGTERM:
    case SIGINT:
      base::log::notice(std::string("stopping on ") + (number == SIGTERM ? "SIGTERM" : "SIGINT"));
      buses_->stop();  // at once: the main loop ends after this round of signals
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
      static const base::log::Level configured = base::log::threshold();
      const bool debug = base::log::threshold() == base::log::Level::kDebug &&
                         configured != base::log::Level::kDebug;
      base::log::set_threshold(debug ? configured : base::log::Level::kDebug);
      base::log::notice(std::string("debug log (frame trace) ") + (debug ? "off" : "on"));
      break;
    }
    default:
      break;
  }
}

state::ReloadReport Service::reload_configuration(bool wait) {
  std::lock_guard<std::mutex> serial(reload_mutex_);
  state::ReloadReport report;
  notifier_.reloading();
  config::Config loaded;
  try {
    loaded = effective_config(options_);
  } catch (const config::ConfigError& error) {
    report.error = error.what();
    base::log::error(std::string("reload: ") + error.what() + "; the configuration in use stays");
    notifier_.ready();
    return report;
  }
  config::Config running;
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    running = config_;
  }
  ReloadPlan plan = plan_reload(running, loaded);
  report.needs_restart = plan.needs_restart;
  if (!report.needs_restart.empty())
    base::log::warning("reload: changed, applied after a restart: " +
                       devices::name_list(report.needs_restart));
  {
    std::lock_guard<std::mutex> lock(config_mutex_);
    config_ = plan.in_use;
  }
  std::optional<bus::BusReloadResult> result;
  if (!plan.buses.empty())
    result = buses_->reload(std::move(plan.buses), wait ? command_wait() : milliseconds(0),
                            command_wait());
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
  // retries + 1 times, each try a response timeout and a wait of another;
  // on the slowest bus.
  milliseconds worst(0);
  for (const config::BusConfig& bus : config_.buses) {
    const long tries = bus.settings.retries + 1;
    worst = std::max(worst, milliseconds(2 * tries * 2 * bus.settings.response_timeout_ms + 5000));
  }
  return std::min(worst, kLongestCommandWait);
}

void Service::update_status() {
  const state::StateSnapshot snapshot = table_.snapshot();
  long completed = 0;
  int answering = 0;
  std::vector<std::string> silent;
  for (const state::UnitState& unit : snapshot.units) {
    completed += unit.counters.completed;
    if (unit.status == state::UnitStatus::kAnswering) ++answering;
    if (unit.status == state::UnitStatus::kNotAnswering) silent.push_back(unit.name);
  }
  std::string text = std::to_string(completed) + " rounds completed; " + std::to_string(answering) +
                     " of " + std::to_string(snapshot.units.size()) + " units answering";
  if (!silent.empty()) text += "; not answering: " + devices::name_list(silent);
  std::vector<std::string> closed;
  for (const state::BusState& bus : snapshot.buses)
    if (!bus.open) closed.push_back(bus.port);
  if (!closed.empty()) text += "; port closed: " + devices::name_list(closed);
  if (!snapshot.history.writable)
    text += "; history not writable, " + std::to_string(snapshot.history.queued_records) +
            " records waiting";
  notifier_.status(text);
}

void Service::log_states() const {
  const std::string text =
      control::format_reply("status", control::status_reply(info(), table_.snapshot(), nullptr));
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) base::log::notice(line);
}

// After the history's writer finished: the counts come from the file.
void Service::print_summary() const {
  const state::StateSnapshot snapshot = table_.snapshot();
  for (const state::UnitState& unit : snapshot.units) {
    const std::optional<long> records =
        history_->record_count(unit.name, unit.data_id, kSummaryReadWait);
    const state::UnitCounters& c = unit.counters;
    base::log::record(base::log::Level::kInfo,
                      "summary " + unit.name + ": rounds " + std::to_string(c.rounds) +
                          " completed " + std::to_string(c.completed) + "; requests " +
                          std::to_string(c.requests) + " timeouts " + std::to_string(c.timeouts) +
                          " bad replies " + std::to_string(c.bad_replies) + " exceptions " +
                          std::to_string(c.exceptions) + " port errors " +
                          std::to_string(c.port_errors) + " given up " +
                          std::to_string(c.given_up) + "; history " +
                          (records ? std::to_string(*records) : "unreadable") + " records");
  }
  for (const state::BusState& bus : snapshot.buses)
    base::log::record(base::log::Level::kInfo, "summary port " + bus.port + ": lost " +
                                                   std::to_string(bus.lost) + " reopened " +
                                                   std::to_string(bus.reopened));
  const state::HistoryState& history = snapshot.history;
  base::log::record(base::log::Level::kInfo,
                    "summary history " + history.path + ": written " +
                        std::to_string(history.records_written) + " records " +
                        std::to_string(history.events_written) + " events; lost " +
                        std::to_string(history.records_lost) + " records " +
                        std::to_string(history.events_lost) + " events");
}

}  // namespace

int run_service(const RunOptions& options) {
  SignalInbox signals;  // before any thread, which inherits the blocked signals
  if (options.jsonl_stdout) base::log::move_records_to_log();
  config::Config config = effective_config(options);
  const std::string target = command_target(options, config);
  std::vector<std::unique_ptr<line::RtuLink>> links;
  try {
    links = open_lines(config);
  } catch (const line::PortBusy& busy) {
    if (!options.commands.empty()) return forward_commands(options, config, target, busy);
    base::log::error(busy.what());
    return 1;
  }
  Service service(options, std::move(config), std::move(links), signals);
  return service.run(target);
}

}  // namespace gw::service
