// A bus and the thread that drives it. The thread owns the bus's line
// (libmodbus context) and is the only one that drives the devices of the
// bus's units (BusUnits): it sets them up, polls them in passes (each unit
// once, in turn, on the PassSchedule), carries out the commands queued for
// them between polls (BusInbox), and applies reloads between passes. After
// every poll and command it writes the unit's row of the state table and
// publishes what happened on the event stream.
//
// A unit that is not answering backs off (UnitPace) while the other units
// keep their pace: the gateway raises its alarm "comm_lost" and the unit is
// polled with one try per request; its next completed round clears the
// alarm. A lost port is opened again on its own schedule (SerialPort), and
// the units are tried in the pass that follows its return.
//
// Other threads talk to it only through submit(), reload() and stop().
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/base/command_ticket.h"
#include "gateway/bus/bus_inbox.h"
#include "gateway/bus/bus_reload.h"
#include "gateway/bus/bus_units.h"
#include "gateway/bus/pass_schedule.h"
#include "gateway/bus/unit_pace.h"
#include "gateway/config/config.h"
#include "gateway/devices/host.h"
#include "gateway/line/line_waits.h"
#include "gateway/line/rtu_link.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"

namespace gw::bus {

struct BusOptions {
  double interval_s = 5.0;     // from the start of a pass to the next's
  int lost_after_rounds = 3;   // rounds in a row without a completed one
  int max_backoff_s = 60;      // longest pause between rounds of a unit not answering
  std::optional<long> passes;  // none: until stopped
  bool print_reports = false;  // a "report NAME TEXT" line after each completed round
  // Called at least every `alive_every` while the thread works or waits.
  std::function<void()> alive;
  std::chrono::milliseconds alive_every{60000};
  // Called on the thread when it ends (passes done, stopped, or failed).
  std::function<void()> ended;
};

class BusWorker : private line::LineWaits {
 public:
  // Drives `link`, whose port is open and locked.
  BusWorker(std::unique_ptr<line::RtuLink> link, std::vector<config::UnitConfig> units,
            devices::Host& host, state::StateTable& table, state::EventStream& stream,
            BusOptions options);
  // Stops the thread and waits for it.
  ~BusWorker() override;
  BusWorker(const BusWorker&) = delete;
  BusWorker& operator=(const BusWorker&) = delete;

  // Starts the thread, which sets the units up (reloading each one's
  // newest record); returns once they are. Rethrows a set-up error.
  void start();
  // From any thread: the thread stops after the exchange in flight.
  void stop() { inbox_.stop(); }
  void join();

  // Queues a command for one of the bus's units; nothing when none has
  // the name. The ticket is answered at once when the bus has stopped or
  // the unit has too many commands waiting.
  std::shared_ptr<base::CommandTicket> submit(const std::string& unit,
                                              const base::Command& command) {
    return inbox_.submit(unit, command);
  }
  // Applies the reload between two passes and returns what it did; waits
  // at most `timeout` (nothing then: it is applied when the pass ends).
  std::optional<BusReloadResult> reload(BusReload changes, std::chrono::milliseconds timeout);
  // The same without waiting: its result comes when it was applied;
  // nothing when the thread has ended.
  std::optional<std::future<BusReloadResult>> queue_reload(BusReload changes) {
    return inbox_.submit(std::move(changes));
  }

  bool has_unit(const std::string& name) const { return inbox_.has_unit(name); }
  // Whether the thread has ended (passes done, stopped, or failed).
  bool ended() const { return inbox_.ended(); }
  // The error that ended the thread, if any.
  std::optional<std::string> error() const { return inbox_.error(); }
  const std::string& port() const { return link_->port(); }

 private:
  using Unit = BusUnits::Unit;

  // LineWaits
  bool stopping() const override { return inbox_.stopping(); }
  bool pause_until(Clock::time_point deadline) override;
  void alive() override;

  void run();
  void poll_passes();
  // The units due in a pass, each polled in turn with the commands
  // waiting after it; how many were polled, a lost one among them when
  // `tried_lost`.
  int poll_due_units(bool& tried_lost);
  // Waits until `deadline`, a stop, or work; carries out the work. A
  // lost port is opened again meanwhile when its reopening is due; once it
  // is, the next pass begins at once.
  void wait_between_passes(Clock::time_point deadline);
  void port_returned();
  void run_commands();
  void run_command(const std::shared_ptr<base::CommandTicket>& ticket);
  void run_reloads();
  BusReloadResult apply(const BusReload& changes);
  void poll(Unit& unit);
  // Counts the round in the unit's pace, and raises or clears its
  // communication loss.
  void after_round(Unit& unit, bool completed, Clock::time_point started, base::SystemTime began);
  std::optional<Clock::time_point> earliest_try();

  std::unique_ptr<line::RtuLink> link_;
  std::vector<config::UnitConfig> configs_;  // until set up
  devices::Host& host_;
  state::StateTable& table_;
  state::EventStream& stream_;
  BusOptions options_;
  PaceSettings pace_;
  BusInbox inbox_;
  BusUnits units_;  // the thread's own
  PassSchedule schedule_;

  std::promise<void> set_up_done_;
  std::thread thread_;
};

}  // namespace gw::bus
