#include "gateway/bus/bus_inbox.h"

#include <algorithm>

namespace gw::bus {

BusInbox::BusInbox(state::StateTable& table, std::set<std::string> names)
    : table_(table), names_(std::move(names)) {}

std::shared_ptr<base::CommandTicket> BusInbox::submit(const std::string& unit,
                                                      const base::Command& command) {
  auto ticket = std::make_shared<base::CommandTicket>(unit, command);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (names_.count(unit) == 0) return nullptr;
    const auto waiting = std::count_if(commands_.begin(), commands_.end(),
                                       [&](const auto& queued) { return queued->unit() == unit; });
    if (ended_ || stop_) {
      ticket->finish(base::CommandOutcome::kStopping);
    } else if (waiting >= kMaxCommandsWaiting) {
      ticket->finish(base::CommandOutcome::kBusy);
      table_.update_unit(unit, [](state::UnitState& row) {
        ++row.commands_by_outcome[base::CommandOutcome::kBusy];
      });
    } else {
      commands_.push_back(ticket);
      table_.update_unit(unit, [](state::UnitState& row) { ++row.commands_waiting; });
    }
  }
  wake_.notify_all();
  return ticket;
}

std::optional<std::future<BusReloadResult>> BusInbox::submit(BusReload changes) {
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

void BusInbox::stop() {
  stop_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  wake_.notify_all();
}

bool BusInbox::has_unit(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_.count(name) > 0;
}

bool BusInbox::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

std::optional<std::string> BusInbox::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

std::shared_ptr<base::CommandTicket> BusInbox::next_command() {
  std::shared_ptr<base::CommandTicket> ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (commands_.empty() || stop_) return nullptr;  // a stop answers the rest
    ticket = std::move(commands_.front());
    commands_.pop_front();
  }
  table_.update_unit(ticket->unit(), [](state::UnitState& row) { --row.commands_waiting; });
  return ticket;
}

std::unique_ptr<BusInbox::ReloadJob> BusInbox::next_reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reloads_.empty() || stop_) return nullptr;
  std::unique_ptr<ReloadJob> job = std::move(reloads_.front());
  reloads_.pop_front();
  return job;
}

void BusInbox::set_names(std::set<std::string> names) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_ = std::move(names);
}

BusInbox::Woken BusInbox::wait_until(Clock::time_point deadline, bool for_work,
                                     std::chrono::milliseconds alive_every,
                                     const std::function<void()>& alive) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (for_work && (!commands_.empty() || !reloads_.empty())) return Woken::kWork;
    const auto now = Clock::now();
    if (now >= deadline) return Woken::kDue;
    wake_.wait_until(lock, std::min(deadline, now + alive_every));
    lock.unlock();
    alive();
    lock.lock();
  }
  return Woken::kStopped;
}

void BusInbox::close(std::optional<std::string> error) {
  std::deque<std::shared_ptr<base::CommandTicket>> commands;
  std::deque<std::unique_ptr<ReloadJob>> reloads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    error_ = std::move(error);
    commands.swap(commands_);
    reloads.swap(reloads_);
  }
  for (const auto& ticket : commands) {
    table_.update_unit(ticket->unit(), [](state::UnitState& row) { --row.commands_waiting; });
    ticket->finish(base::CommandOutcome::kStopping);
  }
  for (const auto& job : reloads) job->done.set_value({});
}

}  // namespace gw::bus
