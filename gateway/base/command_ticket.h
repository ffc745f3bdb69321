// A command on its way to a unit: queued by a client (the control socket,
// the command line), carried out by the unit's bus thread between two of
// the unit's polls, and answered to the client, which waits with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/base/commands.h"

namespace gw::base {

class CommandTicket {
 public:
  CommandTicket(std::string unit, Command command) : unit_(std::move(unit)), command_(command) {}

  const std::string& unit() const { return unit_; }
  const Command& command() const { return command_; }

  struct Answer {
    CommandOutcome outcome = CommandOutcome::kTimeout;
    // Timed out while the bus was carrying it out: its outcome will show
    // as the unit's last command.
    bool in_progress = false;
    std::string detail;  // what the outcome text leaves out, e.g. the limits
  };
  // Waits until the command has an outcome or `timeout` passes. A command
  // that has not begun by then is withdrawn and never carried out.
  Answer wait(std::chrono::milliseconds timeout);
  // The outcome if the command has one; never withdraws it.
  std::optional<CommandOutcome> outcome() const;

  // The bus's side: false when the client withdrew it.
  bool begin();
  void finish(CommandOutcome outcome, const std::string& detail = "");

 private:
  enum class State { kWaiting, kRunning, kFinished };

  const std::string unit_;
  const Command command_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  State state_ = State::kWaiting;
  CommandOutcome outcome_ = CommandOutcome::kUnknown;
  std::string detail_;
};

}  // namespace gw::base
