#include "gateway/bus/bus_worker.h"

#include <algorithm>
#include <cstdio>

#include "gateway/base/log.h"
#include "gateway/line/frames.h"
#include "gateway/readings/alarm_table.h"

namespace gw::bus {
namespace {

std::set<std::string> names_of(const std::vector<config::UnitConfig>& configs) {
  std::set<std::string> names;
  for (const config::UnitConfig& config : configs) names.insert(config.name);
  return names;
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
      options_(std::move(options)),
      pace_{options_.interval_s, options_.lost_after_rounds, options_.max_backoff_s},
      inbox_(table, names_of(configs_)),
      units_(*link_, host, table),
      schedule_(options_.interval_s, Clock::now()) {
  link_->set_waits(*this);
}

BusWorker::~BusWorker() {
  stop();
  join();
}

void BusWorker::start() {
  std::future<void> set_up = set_up_done_.get_future();
  thread_ = std::thread([this] { run(); });
  set_up.get();
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

bool BusWorker::pause_until(Clock::time_point deadline) {
  return inbox_.wait_until(deadline, false, options_.alive_every, [this] { alive(); }) ==
         BusInbox::Woken::kDue;
}

void BusWorker::alive() {
  if (options_.alive) options_.alive();
}

void BusWorker::run() {
  try {
    units_.set_up_all(configs_, pace_);
  } catch (...) {
    set_up_done_.set_exception(std::current_exception());
    inbox_.close(std::nullopt);
    if (options_.ended) options_.ended();
    return;
  }
  set_up_done_.set_value();
  std::optional<std::string> error;
  try {
    poll_passes();
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  inbox_.close(std::move(error));
  if (options_.ended) options_.ended();
}

// A pass polls every unit that is due; one that polled nobody (every unit
// backing off) does not count.
void BusWorker::poll_passes() {
  run_commands();  // those given at start run before the first round
  schedule_ = PassSchedule(pace_.interval_s, Clock::now());
  bool first = true;
  for (long pass = 0; !stopping() && (!options_.passes || pass < *options_.passes);) {
    if (!first) wait_between_passes(schedule_.next());
    first = false;
    schedule_.begin();
    const auto began = Clock::now();
    bool tried_lost = false;
    const int polled = poll_due_units(tried_lost);
    if (polled == 0) {
      schedule_.passed_idle(Clock::now(), earliest_try());
      continue;
    }
    ++pass;
    if (const auto overrun = schedule_.passed(began, Clock::now(), polled, tried_lost))
      base::log::warning("bus " + link_->port() + overrun_text(*overrun, pace_.interval_s));
  }
}

int BusWorker::poll_due_units(bool& tried_lost) {
  int polled = 0;
  std::vector<Unit>& units = units_.all();
  for (size_t i = 0; i < units.size() && !stopping(); ++i) {
    if (!units[i].pace.due(Clock::now())) continue;
    tried_lost = tried_lost || units[i].pace.lost();
    poll(units[i]);
    ++polled;
    run_commands();
  }
  return polled;
}

std::optional<BusWorker::Clock::time_point> BusWorker::earliest_try() {
  std::optional<Clock::time_point> earliest;
  for (const Unit& unit : units_.all())
    if (unit.pace.lost() && (!earliest || unit.pace.next_try() < *earliest))
      earliest = unit.pace.next_try();
  return earliest;
}

void BusWorker::wait_between_passes(Clock::time_point deadline) {
  for (;;) {
    const std::optional<Clock::time_point> reopen = link_->port_reopen_due();
    const bool reopen_first = reopen && *reopen < deadline;
    const BusInbox::Woken woken = inbox_.wait_until(reopen_first ? *reopen : deadline, true,
                                                    options_.alive_every, [this] { alive(); });
    if (woken == BusInbox::Woken::kStopped) return;
    if (woken == BusInbox::Woken::kWork) {
      run_commands();
      run_reloads();
      continue;
    }
    if (!reopen_first) return;
    if (link_->reopen_port()) return port_returned();
  }
}

void BusWorker::port_returned() {
  const auto now = Clock::now();
  for (Unit& unit : units_.all()) unit.pace.port_returned(now);
  schedule_.bring_forward(now);
}

void BusWorker::run_reloads() {
  while (std::unique_ptr<BusInbox::ReloadJob> job = inbox_.next_reload())
    job->done.set_value(apply(job->changes));
}

BusReloadResult BusWorker::apply(const BusReload& changes) {
  link_->set_timing(changes.response_timeout_ms, changes.retries);
  pace_ = {changes.interval_s, changes.lost_after_rounds, changes.max_backoff_s};
  schedule_.set_interval(changes.interval_s);
  return units_.apply(changes, pace_,
                      [this](std::set<std::string> names) { inbox_.set_names(std::move(names)); });
}

void BusWorker::run_commands() {
  while (const std::shared_ptr<base::CommandTicket> ticket = inbox_.next_command())
    run_command(ticket);
}

void BusWorker::run_command(const std::shared_ptr<base::CommandTicket>& ticket) {
  Unit* unit = units_.named(ticket->unit());
  if (unit == nullptr) return ticket->finish(base::CommandOutcome::kRemoved);
  if (!ticket->begin()) return;  // withdrawn: its client stopped waiting
  const base::Command& command = ticket->command();
  std::string detail = base::outside_limits(command, unit->device->config().setpoint_limits);
  base::CommandOutcome outcome = base::CommandOutcome::kOutOfLimits;
  if (detail.empty()) {
    link_->begin_round(unit->device->device());
    outcome = unit->device->run(command);
    const std::optional<int> refusal = link_->refusal(unit->device->device());
    if (outcome == base::CommandOutcome::kNoAnswer && refusal) {
      outcome = base::CommandOutcome::kRefusedByUnit;
      detail = line::frames::exception_text(*refusal);
    }
  }
  ++unit->commands;
  const std::string what = describe(command);
  base::log::record(base::log::Level::kNotice, "command " + unit->device->name() + ' ' + what +
                                                   ": " + base::outcome_text(outcome) +
                                                   (detail.empty() ? "" : " (" + detail + ")"));
  ticket->finish(outcome, detail);
  const auto now = std::chrono::system_clock::now();
  units_.write_row(*unit, std::nullopt, std::nullopt, pace_.interval_s);
  table_.update_unit(unit->device->name(), [&](state::UnitState& row) {
    row.last_command = state::LastCommand{what, outcome, now, detail};
    ++row.commands_by_outcome[outcome];
  });
  if (stream_.has_subscribers())
    stream_.publish(state::CommandFinished{unit->device->name(), now, what, outcome, detail});
}

void BusWorker::poll(Unit& unit) {
  const auto started = Clock::now();
  const auto began = std::chrono::system_clock::now();
  link_->begin_round(unit.device->device());
  const bool completed = unit.device->poll();
  if (!completed && stopping()) {
    // Cut short by the stop: not a round, but its requests went out.
    units_.write_row(unit, std::nullopt, std::nullopt, pace_.interval_s);
    return;
  }
  ++unit.rounds;
  if (completed) ++unit.completed;
  after_round(unit, completed, started, began);
  std::optional<std::string> report;
  if (completed) report = unit.device->report_text();
  units_.write_row(unit, completed, report, pace_.interval_s);
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
  const std::optional<PaceChange> change =
      unit.pace.after_round(completed, started, schedule_.due(), began, pace_);
  if (!change) return;
  units_.backing_off(unit);
  const config::UnitConfig& config = unit.device->config();
  history::AlarmEvent event{devices::now_text(),
                            config.name,
                            readings::kCommLostSignalId,
                            config.comm_lost_level,
                            change->raised,
                            readings::alarm_title(readings::kCommLostSignalId),
                            "",
                            std::nullopt,
                            std::nullopt};
  const std::string rounds = std::to_string(change->rounds);
  if (change->raised) {
    event.detail = rounds + " rounds in a row did not complete";
    char backoff[64];
    std::snprintf(backoff, sizeof backoff, "%g s, doubling up to %d s", unit.pace.backoff_s(),
                  pace_.max_backoff_s);
    base::log::notice(config.name + " is not answering: one try a request, its rounds " + backoff +
                      " apart");
  } else {
    event.detail = "a round completed after " + rounds + " that did not";
    base::log::notice(config.name + " is answering again");
  }
  if (config.comm_lost_level != 0) host_.record_alarm(event);
}

}  // namespace gw::bus
