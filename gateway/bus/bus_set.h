// The gateway's buses: one BusWorker, thread and line each, all sharing
// the host, the state table and the event stream. Commands go to the bus
// that serves the named unit; a stop stops every bus at once; a reload
// hands each bus its own changes.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/bus/bus_worker.h"

namespace gw::bus {

class BusSet {
 public:
  BusSet() = default;
  // Stops every bus and waits for it.
  ~BusSet();
  BusSet(const BusSet&) = delete;
  BusSet& operator=(const BusSet&) = delete;

  // Before start(); the buses keep this order.
  void add(std::unique_ptr<BusWorker> bus);

  // Starts each bus in turn (each sets its units up); rethrows the first
  // set-up error, the buses started before it left running for the
  // destructor or stop() to end.
  void start();
  // From any thread: every bus stops after the exchange in flight.
  void stop();
  void join();

  // Queues a command on the bus that serves the unit; nothing when none does.
  std::shared_ptr<base::CommandTicket> submit(const std::string& unit,
                                              const base::Command& command);

  // Applies `changes`, one for each bus in the set's order, and returns
  // what the buses did together; waits at most `timeout` (nothing then:
  // each bus applies its part when its pass ends). A unit that moves from
  // one bus to another is taken off its old bus before the new one sets it
  // up: for that, the old buses are waited for up to `move_wait` however
  // short `timeout` is.
  std::optional<BusReloadResult> reload(std::vector<BusReload> changes,
                                        std::chrono::milliseconds timeout,
                                        std::chrono::milliseconds move_wait);

  size_t size() const { return buses_.size(); }
  const BusWorker& bus(size_t index) const { return *buses_[index]; }
  // Whether every bus's thread has ended.
  bool all_ended() const;
  // The errors that ended buses: "serial port PORT: ERROR".
  std::vector<std::string> errors() const;

 private:
  std::vector<std::unique_ptr<BusWorker>> buses_;
};

}  // namespace gw::bus
