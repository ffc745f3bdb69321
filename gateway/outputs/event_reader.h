// The thread of an output that reads the event stream: it takes every
// event in order on a subscription of its own, so that however slow the
// output is (a broker away, a program that takes its time), the buses
// never wait for it; when it falls too far behind, the oldest events give
// way and the loss is logged.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "gateway/state/event_stream.h"

namespace gw::outputs {

class EventReader {
 public:
  // Subscribes at once, so that no event published after this is missed.
  EventReader(state::EventStream& stream, size_t capacity, std::string name,
              std::chrono::milliseconds tick = std::chrono::milliseconds(200));
  virtual ~EventReader();
  EventReader(const EventReader&) = delete;
  EventReader& operator=(const EventReader&) = delete;

  void start();
  // Ends the thread: once the stream is closed and every event taken (at
  // shutdown); or at once, leaving what waits, after stop().
  void stop();
  void join();

 protected:
  virtual void on_event(const state::Event& event) = 0;
  // Between events, at least every `tick`.
  virtual void on_tick() {}
  // On the thread, after the last event.
  virtual void on_end() {}
  const std::string& name() const { return name_; }

 private:
  void run();

  std::shared_ptr<state::EventStream::Subscription> subscription_;
  const std::string name_;
  const std::chrono::milliseconds tick_;
  std::atomic<bool> stop_{false};
  long dropped_logged_ = 0;
  std::thread thread_;
};

}  // namespace gw::outputs
