// A bus worker's commands: queued by any thread (a client of the control
// socket, MQTT, the command line), carried out by the bus's thread between
// two polls, so that the gateway stays the line's only master.
#include <algorithm>
#include <chrono>

#include "gateway/base/log.h"
#include "gateway/bus/bus_worker.h"
#include "gateway/line/frames.h"

namespace gw::bus {

std::shared_ptr<base::CommandTicket> BusWorker::submit(const std::string& unit,
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
        ++row.commands_by_outcome[base::outcome_text(base::CommandOutcome::kBusy)];
      });
    } else {
      commands_.push_back(ticket);
      table_.update_unit(unit, [](state::UnitState& row) { ++row.commands_waiting; });
    }
  }
  wake_.notify_all();
  return ticket;
}

void BusWorker::run_commands() {
  for (;;) {
    std::shared_ptr<base::CommandTicket> ticket;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (commands_.empty() || stop_) return;  // a stop answers the rest
      ticket = std::move(commands_.front());
      commands_.pop_front();
    }
    table_.update_unit(ticket->unit(), [](state::UnitState& row) { --row.commands_waiting; });
    run_command(ticket);
  }
}

void BusWorker::run_command(const std::shared_ptr<base::CommandTicket>& ticket) {
  Unit* unit = unit_named(ticket->unit());
  if (unit == nullptr) return ticket->finish(base::CommandOutcome::kRemoved);
  if (!ticket->begin()) return;  // withdrawn: its client stopped waiting
  const base::Command& command = ticket->command();
  std::string detail = base::outside_limits(command, unit->device->config().setpoint_limits);
  base::CommandOutcome outcome = base::CommandOutcome::kOutOfLimits;
  if (detail.empty()) {
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
  write_row(*unit, std::nullopt, std::nullopt);
  table_.update_unit(unit->device->name(), [&](state::UnitState& row) {
    row.last_command = state::LastCommand{what, outcome, now, detail};
    ++row.commands_by_outcome[base::outcome_text(outcome)];
  });
  if (stream_.has_subscribers())
    stream_.publish(state::CommandFinished{unit->device->name(), now, what, outcome, detail});
}

}  // namespace gw::bus
