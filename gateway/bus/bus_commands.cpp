// A bus worker's commands: queued by any thread (a client of the control
// socket, MQTT, the command line), carried out by the bus's thread between
// two polls, so that the gateway stays the line's only master.
#include <algorithm>
#include <chrono>

#include "gateway/bus/bus_worker.h"
#include "gateway/line/frames.h"
#include "gateway/base/log.h"

namespace gw {

std::shared_ptr<CommandTicket> BusWorker::submit(const std::string& unit, const Command& command) {
  auto ticket = std::make_shared<CommandTicket>(unit, command);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (names_.count(unit) == 0) return nullptr;
    const auto waiting = std::count_if(commands_.begin(), commands_.end(),
                                       [&](const auto& queued) { return queued->unit() == unit; });
    if (ended_ || stop_) {
      ticket->finish(CommandOutcome::kStopping);
    } else if (waiting >= kMaxCommandsWaiting) {
      ticket->finish(CommandOutcome::kBusy);
      table_.update_unit(unit, [](UnitState& row) {
        ++row.commands_by_outcome[outcome_text(CommandOutcome::kBusy)];
      });
    } else {
      commands_.push_back(ticket);
      table_.update_unit(unit, [](UnitState& row) { ++row.commands_waiting; });
    }
  }
  wake_.notify_all();
  return ticket;
}

void BusWorker::run_commands() {
  for (;;) {
    std::shared_ptr<CommandTicket> ticket;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (commands_.empty() || stop_) return;  // a stop answers the rest
      ticket = std::move(commands_.front());
      commands_.pop_front();
    }
    table_.update_unit(ticket->unit(), [](UnitState& row) { --row.commands_waiting; });
    run_command(ticket);
  }
}

void BusWorker::run_command(const std::shared_ptr<CommandTicket>& ticket) {
  Unit* unit = unit_named(ticket->unit());
  if (unit == nullptr) return ticket->finish(CommandOutcome::kRemoved);
  if (!ticket->begin()) return;  // withdrawn: its client stopped waiting
  const Command& command = ticket->command();
  std::string detail = outside_limits(command, unit->device->config().setpoint_limits);
  CommandOutcome outcome = CommandOutcome::kOutOfLimits;
  if (detail.empty()) {
    outcome = unit->device->run(command);
    const std::optional<int> refusal = link_->refusal(unit->device->device());
    if (outcome == CommandOutcome::kNoAnswer && refusal) {
      outcome = CommandOutcome::kRefusedByUnit;
      detail = frames::exception_text(*refusal);
    }
  }
  ++unit->commands;
  const std::string what = describe(command);
  log::record(log::Level::kNotice, "command " + unit->device->name() + ' ' + what + ": " +
                                       outcome_text(outcome) +
                                       (detail.empty() ? "" : " (" + detail + ")"));
  ticket->finish(outcome, detail);
  const auto now = std::chrono::system_clock::now();
  write_row(*unit, std::nullopt, std::nullopt);
  table_.update_unit(unit->device->name(), [&](UnitState& row) {
    row.last_command = LastCommand{what, outcome, now, detail};
    ++row.commands_by_outcome[outcome_text(outcome)];
  });
  if (stream_.has_subscribers())
    stream_.publish(CommandFinished{unit->device->name(), now, what, outcome, detail});
}

}  // namespace gw
