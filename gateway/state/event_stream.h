// The stream of what happens on the buses: completed rounds, alarms raised
// and cleared, commands carried out. Bus threads publish without ever
// waiting for a reader: each subscriber has a queue of its own, bounded,
// whose oldest event gives way when it is full (and is counted as
// dropped). Readers (the control socket's "events", JSON Lines, MQTT,
// notifications) take events on their own threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gateway/base/commands.h"
#include "gateway/state/unit_table.h"

namespace gw::state {

struct RoundCompleted {
  std::string unit;
  base::SystemTime at;
  long round = 0;                   // the unit's completed rounds, this one included
  std::string record;               // the record's bytes
  std::string report;               // the status report's JSON text
  std::vector<ActiveAlarm> alarms;  // active once the round's checks ran
};

struct AlarmChanged {
  std::string unit;
  base::SystemTime at;
  std::string signal_id;
  int level = 0;
  bool raised = false;  // false: cleared
  std::string title, detail;
  // A limit alarm's reading and the limit it was compared with, in the
  // reading's unit (C or %); none for a flag alarm or comm_lost.
  std::optional<double> value, limit;
};

struct CommandFinished {
  std::string unit;
  base::SystemTime at;
  std::string command;  // as describe() gives it
  base::CommandOutcome outcome = base::CommandOutcome::kUnknown;
  std::string detail;  // what the outcome text leaves out, if anything
};

using Event = std::variant<RoundCompleted, AlarmChanged, CommandFinished>;

class EventStream {
 public:
  class Subscription {
   public:
    explicit Subscription(size_t capacity) : capacity_(capacity) {}
    // The next event, waiting at most `timeout`; nothing at the deadline
    // or once the stream was closed and the queue is empty.
    std::optional<Event> next(std::chrono::milliseconds timeout);
    // Events that gave way to newer ones.
    long dropped() const;
    bool closed() const;

   private:
    friend class EventStream;
    void push(const Event& event);
    void close();

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Event> queue_;
    long dropped_ = 0;
    bool closed_ = false;
  };

  // A new subscriber; it receives events published from now on, until it
  // lets go of the subscription or the stream is closed.
  std::shared_ptr<Subscription> subscribe(size_t capacity);
  // Whether anyone listens: publishers may skip building an event then.
  bool has_subscribers() const;
  void publish(const Event& event);
  // Wakes every subscriber for the last time (at shutdown).
  void close();

 private:
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<Subscription>> subscribers_;
  bool closed_ = false;
};

}  // namespace gw::state
