#include "gateway/base/command_ticket.h"

namespace gw::base {

CommandTicket::Answer CommandTicket::wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait_for(lock, timeout, [&] { return state_ == State::kFinished; });
  if (state_ == State::kFinished) return {outcome_, false, detail_};
  if (state_ == State::kWaiting) {
    state_ = State::kFinished;  // withdrawn
    outcome_ = CommandOutcome::kTimeout;
    return {outcome_, false, {}};
  }
  return {CommandOutcome::kTimeout, true, {}};
}

std::optional<CommandOutcome> CommandTicket::outcome() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kFinished) return std::nullopt;
  return outcome_;
}

bool CommandTicket::begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != State::kWaiting) return false;
  state_ = State::kRunning;
  return true;
}

void CommandTicket::finish(CommandOutcome outcome, const std::string& detail) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kFinished) return;
    state_ = State::kFinished;
    outcome_ = outcome;
    detail_ = detail;
  }
  finished_.notify_all();
}

}  // namespace gw::base
