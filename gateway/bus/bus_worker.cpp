#include "gateway/bus/bus_worker.h"

#include <algorithm>
#include <cstdio>

#include "gateway/base/log.h"
#include "gateway/readings/alarm_table.h"

namespace gw::bus {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kShortestBackoffS = 0.5;  // the first pause of a unit not answering, at least

Clock::duration seconds(double value) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

bool has_comm_lost(const std::vector<state::ActiveAlarm>& alarms) {
  return std::any_of(alarms.begin(), alarms.end(), [](const state::ActiveAlarm& alarm) {
    return alarm.signal_id == readings::kCommLostSignalId;
  });
}

}  // namespace

BusWorker::BusWorker(std::unique_ptr<line::RtuLink> link, std::vector<config::UnitConfig> units,
                     devices::Host& host, state::StateTable& table, state::EventStream& stream,
                     BusOptions options)
    : link_(std::move(link)),
      configs_(std::move(units)),
      host_(host),
      table_(table),
      stream_(stream),
      options_(std::move(options)) {
  link_->set_waits(*this);
  for (const config::UnitConfig& config : configs_) names_.insert(config.name);
}

BusWorker::~BusWorker() {
  stop();
  join();
  for (Unit& unit : units_) take_down(unit);
}

void BusWorker::start() {
  std::future<void> set_up = set_up_done_.get_future();
  thread_ = std::thread([this] { run(); });
  set_up.get();
}

void BusWorker::stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_all();
}

void BusWorker::join() {
  if (thread_.joinable()) thread_.join();
}

std::optional<BusReloadResult> BusWorker::reload(BusReload changes,
                                                 std::chrono::milliseconds timeout) {
  std::optional<std::future<BusReloadResult>> done = queue_reload(std::move(changes));
  if (!done || done->wait_for(timeout) != std::future_status::ready) return std::nullopt;
  return done->get();
}

std::optional<std::future<BusReloadResult>> BusWorker::queue_reload(BusReload changes) {
  auto job = std::make_unique<ReloadJob>();
  job->changes = std::move(changes);
  std::future<BusReloadResult> done = job->done.get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return std::nullopt;
    reloads_.push_back(std::move(job));
  }
  wake_.notify_all();
  return done;
}

bool BusWorker::has_unit(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_.count(name) > 0;
}

bool BusWorker::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

std::optional<std::string> BusWorker::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

bool BusWorker::pause_until(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    const auto now = Clock::now();
    if (now >= deadline) return true;
    wake_.wait_until(lock, std::min(deadline, now + options_.alive_every));
    lock.unlock();
    alive();
    lock.lock();
  }
  return false;
}

void BusWorker::alive() {
  if (options_.alive) options_.alive();
}

void BusWorker::run() {
  try {
    set_up_all();
  } catch (...) {
    set_up_done_.set_exception(std::current_exception());
    finish();
    return;
  }
  set_up_done_.set_value();
  try {
    poll_passes();
  } catch (const std::exception& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error.what();
  }
  finish();
}

void BusWorker::set_up_all() {
  std::vector<state::UnitState> rows;
  for (const config::UnitConfig& config : configs_) {
    state::UnitState row;
    units_.push_back(set_up(config, {}, row));
    rows.push_back(std::move(row));
  }
  table_.set_units(link_->port(), std::move(rows));
  table_.update_bus({link_->port(), link_->port_open(), 0, 0, options_.interval_s});
  for (Unit& unit : units_) host_.reload(*unit.device);
}

// A pass polls every unit that is due; one that polled nobody (every unit
// backing off) does not count, and the next begins when a unit is due.
// Passes begin `interval_s` apart, start to start: a pass that begins late
// (a command ran first) does not move the next one.
void BusWorker::poll_passes() {
  run_commands();  // those given at start run before the first round
  auto next_pass = Clock::now();
  bool first = true;
  for (long pass = 0; !stop_ && (!options_.passes || pass < *options_.passes);) {
    if (!first) wait_between_passes(next_pass);
    first = false;
    pass_due_ = next_pass;
    const auto began = Clock::now();
    int polled = 0;
    bool tried_lost = false;
    for (size_t i = 0; i < units_.size() && !stop_; ++i) {
      if (!due(units_[i])) continue;
      tried_lost = tried_lost || units_[i].lost;
      poll(units_[i]);
      ++polled;
      run_commands();
    }
    if (polled > 0) ++pass;
    next_pass = polled > 0 ? next_pass_after(began, polled, tried_lost) : next_due();
  }
}

BusWorker::Clock::time_point BusWorker::next_pass_after(Clock::time_point began, int polled,
                                                        bool tried_lost) {
  const auto next = pass_due_ + seconds(options_.interval_s);
  const auto now = Clock::now();
  if (now <= next) return next;
  // Behind: the next pass begins now, and the schedule from it. Passes
  // missed are not made up in a burst.
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(now - began);
  // A unit not answering costs a pass its response timeout now and then
  // (the back-off's price, not the bus's load); interval 0 asks for passes
  // back to back.
  if (options_.interval_s > 0 && !tried_lost && !told_overrun_ &&
      took > seconds(options_.interval_s)) {
    told_overrun_ = true;
    char figures[160];
    std::snprintf(figures, sizeof figures,
                  ": a pass took %.1f ms against an interval of %.1f ms (%d unit%s); "
                  "polling back to back",
                  took.count() / 1000.0, options_.interval_s * 1000, polled,
                  polled == 1 ? "" : "s");
    base::log::warning("bus " + link_->port() + figures);
  }
  return now;
}

BusWorker::Clock::time_point BusWorker::next_due() const {
  auto next = Clock::now() + seconds(std::max(options_.interval_s, kShortestBackoffS));
  for (const Unit& unit : units_)
    if (unit.lost) next = std::min(next, unit.next_try);
  return next;
}

void BusWorker::wait_between_passes(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (!commands_.empty() || !reloads_.empty()) {
      lock.unlock();
      run_commands();
      run_reloads();
      lock.lock();
      continue;
    }
    const auto now = Clock::now();
    if (now >= deadline) return;
    wake_.wait_until(lock, std::min(deadline, now + options_.alive_every));
    lock.unlock();
    alive();
    lock.lock();
  }
}

void BusWorker::run_reloads() {
  for (;;) {
    std::unique_ptr<ReloadJob> job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (reloads_.empty() || stop_) return;
      job = std::move(reloads_.front());
      reloads_.pop_front();
    }
    job->done.set_value(apply(job->changes));
  }
}

BusWorker::Unit BusWorker::set_up(const config::UnitConfig& config,
                                  const line::LineCounters& counters, state::UnitState& row) {
  devices::Host::AddedUnit added = host_.add_unit(config, *link_, counters);
  row.name = config.name;
  row.port = link_->port();
  row.slave = config.slave;
  row.data_id = config.data_id;
  row.setpoint_limits = config.setpoint_limits;
  row.alarms = std::move(added.alarms);
  row.commands_waiting = 0;
  Unit unit;
  unit.device = std::move(added.unit);
  // Not answering when the gateway last stopped: it backs off from the
  // first round on, and its next completed round clears the alarm.
  if (has_comm_lost(row.alarms)) {
    set_lost(unit, true);
    unit.failed_in_a_row = options_.lost_after_rounds;
    unit.next_try = Clock::now();
    row.status = state::UnitStatus::kNotAnswering;
    for (const state::ActiveAlarm& alarm : row.alarms)
      if (alarm.signal_id == readings::kCommLostSignalId) row.status_since = alarm.since;
  }
  return unit;
}

void BusWorker::set_lost(Unit& unit, bool lost) {
  unit.lost = lost;
  unit.backoff_s = std::min(std::max(options_.interval_s, kShortestBackoffS),
                            static_cast<double>(options_.max_backoff_s));
  link_->set_backing_off(unit.device->device(), lost);
}

line::LineCounters BusWorker::take_down(Unit& unit) {
  if (!unit.device) return {};
  const line::LineCounters counters = host_.remove_unit(*unit.device, *link_);
  unit.device.reset();
  return counters;
}

BusWorker::Unit* BusWorker::unit_named(const std::string& name) {
  for (Unit& unit : units_)
    if (unit.device->name() == name) return &unit;
  return nullptr;
}

void BusWorker::poll(Unit& unit) {
  const auto started = Clock::now();
  const auto began = std::chrono::system_clock::now();
  const bool completed = unit.device->poll();
  if (!completed && stop_) return;  // cut short by the stop: not a round
  ++unit.rounds;
  if (completed) ++unit.completed;
  after_round(unit, completed, started, began);
  std::optional<std::string> report;
  if (completed) report = unit.device->report_text();
  write_row(unit, completed, report);
  if (completed && options_.print_reports)
    base::log::record(
        base::log::Level::kInfo,
        "report " + unit.device->name() + (report ? ' ' + *report : std::string(" unavailable")));
  if (completed && stream_.has_subscribers()) {
    state::RoundCompleted round{unit.device->name(), std::chrono::system_clock::now(),
                                unit.completed,      host_.last_record(*unit.device),
                                report.value_or(""), {}};
    table_.update_unit(round.unit, [&](const state::UnitState& row) { round.alarms = row.alarms; });
    stream_.publish(round);
  }
}

void BusWorker::after_round(Unit& unit, bool completed, Clock::time_point started,
                            base::SystemTime began) {
  const config::UnitConfig& config = unit.device->config();
  history::AlarmEvent event{devices::now_text(),
                            config.name,
                            readings::kCommLostSignalId,
                            config.comm_lost_level,
                            false,
                            readings::alarm_title(readings::kCommLostSignalId),
                            ""};
  if (completed) {
    const int missed = unit.failed_in_a_row;
    unit.failed_in_a_row = 0;
    unit.failing_since.reset();
    if (!unit.lost) return;
    set_lost(unit, false);
    event.detail = "a round completed after " + std::to_string(missed) + " that did not";
  } else {
    if (unit.failed_in_a_row++ == 0) unit.failing_since = began;
    if (unit.lost) {
      // Start to start: the round's own time counts in the pause.
      unit.backoff_s = std::min(2 * unit.backoff_s, static_cast<double>(options_.max_backoff_s));
      unit.next_try = std::min(started, pass_due_) + seconds(unit.backoff_s);
      return;
    }
    if (unit.failed_in_a_row < options_.lost_after_rounds) return;
    set_lost(unit, true);
    unit.next_try = std::min(started, pass_due_) + seconds(unit.backoff_s);
    event.raised = true;
    event.detail = std::to_string(unit.failed_in_a_row) + " rounds in a row did not complete";
  }
  char backoff[64];
  std::snprintf(backoff, sizeof backoff, "%g s, doubling up to %d s", unit.backoff_s,
                options_.max_backoff_s);
  base::log::notice(config.name + (event.raised
                                       ? std::string(" is not answering: one try a request, "
                                                     "its rounds ") +
                                             backoff + " apart"
                                       : std::string(" is answering again")));
  if (config.comm_lost_level != 0) host_.record_alarm(event);
}

void BusWorker::write_row(const Unit& unit, std::optional<bool> round_completed,
                          const std::optional<std::string>& report) {
  const line::LineCounters& line = link_->counters(unit.device->device());
  const auto now = std::chrono::system_clock::now();
  std::string record;
  if (round_completed.value_or(false)) record = host_.last_record(*unit.device);
  table_.update_unit(unit.device->name(), [&](state::UnitState& row) {
    row.counters = {unit.rounds,      unit.completed,   line.requests,
                    line.timeouts,    line.bad_replies, line.exceptions,
                    line.port_errors, line.failed,      unit.commands};
    if (!round_completed) return;
    if (unit.lost && row.status != state::UnitStatus::kNotAnswering) {
      row.status = state::UnitStatus::kNotAnswering;
      row.status_since = unit.failing_since.value_or(now);
    } else if (*round_completed && row.status != state::UnitStatus::kAnswering) {
      row.status = state::UnitStatus::kAnswering;
      row.status_since = now;
    }
    if (!*round_completed) return;
    row.last_round_at = now;
    row.record = std::move(record);
    if (report) row.report = *report;
  });
  const line::PortCounters& port = link_->port_counters();
  table_.update_bus(
      {link_->port(), link_->port_open(), port.lost, port.reopened, options_.interval_s});
}

// Answers what still waits: the bus will carry nothing out any more.
void BusWorker::finish() {
  std::deque<std::shared_ptr<base::CommandTicket>> commands;
  std::deque<std::unique_ptr<ReloadJob>> reloads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    commands.swap(commands_);
    reloads.swap(reloads_);
  }
  for (const auto& ticket : commands) {
    table_.update_unit(ticket->unit(), [](state::UnitState& row) { --row.commands_waiting; });
    ticket->finish(base::CommandOutcome::kStopping);
  }
  for (const auto& job : reloads) job->done.set_value({});
  if (options_.ended) options_.ended();
}

}  // namespace gw::bus
