#include "gateway/outputs/event_reader.h"

#include "gateway/base/log.h"

namespace gw::outputs {

EventReader::EventReader(state::EventStream& stream, size_t capacity, std::string name,
                         std::chrono::milliseconds tick)
    : subscription_(stream.subscribe(capacity)), name_(std::move(name)), tick_(tick) {}

EventReader::~EventReader() {
  // A derived class stops and joins first: its on_event() must not run
  // while it is being destroyed.
  stop();
  join();
}

void EventReader::start() {
  thread_ = std::thread([this] { run(); });
}

void EventReader::stop() { stop_ = true; }

void EventReader::join() {
  if (thread_.joinable()) thread_.join();
}

void EventReader::run() {
  auto next_tick = std::chrono::steady_clock::now();
  while (!stop_) {
    const std::optional<state::Event> event = subscription_->next(tick_);
    if (event) {
      on_event(*event);
    } else if (subscription_->closed()) {
      break;
    }
    const long dropped = subscription_->dropped();
    if (dropped > dropped_logged_) {
      base::log::warning(name_ + ": fell behind; " + std::to_string(dropped - dropped_logged_) +
                         " events dropped (" + std::to_string(dropped) + " in all)");
      dropped_logged_ = dropped;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_tick) {
      on_tick();
      next_tick = now + tick_;
    }
  }
  on_end();
}

}  // namespace gw::outputs
