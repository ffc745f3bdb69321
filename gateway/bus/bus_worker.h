// A bus and the thread that drives it. The thread owns the bus's line
// (libmodbus context) and is the only one that drives the devices of the
// bus's units: it sets them up, polls them in passes (each unit once, in
// turn, passes `interval_s` apart, start to start), carries out the commands
// queued for them between polls, and applies reloads between passes. After
// every poll and command it writes the unit's row of the state table and
// publishes what happened on the event stream.
//
// A pass that ends after the next was due makes the next begin at once and
// the schedule start again from it, never a burst of passes to catch up.
// When the units cannot be polled within the interval at all, the bus says
// so once (a warning with the pass's time, the interval and the units) and
// polls back to back.
//
// A unit whose last `lost_after_rounds` rounds did not complete is not
// answering: the gateway raises its alarm "comm_lost" and backs off. The
// unit is then polled with one try per request, its rounds at least 0.5 s
// (or the interval, if longer) apart, doubling after every round that
// fails, up to `max_backoff_s`; the other units keep their pace. Its next
// completed round clears the alarm and brings its pace back.
//
// Other threads talk to it only through submit(), reload() and stop().
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/base/command_ticket.h"
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

// What a reload changes on a bus.
struct BusReload {
  std::vector<config::UnitConfig> units;  // the bus's units from now on, in this order
  double interval_s = 5.0;
  int response_timeout_ms = 500;
  int retries = 1;
  int lost_after_rounds = 3;
  int max_backoff_s = 60;
  // Units that come from another bus, by name: their rows there, whose
  // counters and last command carry over as for a unit set up again.
  std::map<std::string, state::UnitState> arriving;
};

struct BusReloadResult {
  std::vector<std::string> added, removed, set_up_again, unchanged;
  std::vector<std::string> errors;                   // units that could not be set up
  std::map<std::string, state::UnitState> departed;  // the rows of the units removed
};

// Commands queued for one unit beyond this are answered "busy".
inline constexpr int kMaxCommandsWaiting = 8;

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
  void stop();
  void join();

  // Queues a command for one of the bus's units; nothing when none has
  // the name. The ticket is answered at once when the bus has stopped or
  // the unit has too many commands waiting.
  std::shared_ptr<base::CommandTicket> submit(const std::string& unit,
                                              const base::Command& command);
  // Applies the reload between two passes and returns what it did; waits
  // at most `timeout` (nothing then: it is applied when the pass ends).
  std::optional<BusReloadResult> reload(BusReload changes, std::chrono::milliseconds timeout);
  // The same without waiting: its result comes when it was applied;
  // nothing when the thread has ended.
  std::optional<std::future<BusReloadResult>> queue_reload(BusReload changes);

  bool has_unit(const std::string& name) const;
  // Whether the thread has ended (passes done, stopped, or failed).
  bool ended() const;
  // The error that ended the thread, if any.
  std::optional<std::string> error() const;
  const std::string& port() const { return link_->port(); }

 private:
  struct Unit {
    std::unique_ptr<devices::UnitDevice> device;
    long rounds = 0;
    long completed = 0;
    long commands = 0;
    int failed_in_a_row = 0;                        // rounds since the last completed one
    std::optional<base::SystemTime> failing_since;  // when the first of them began
    bool lost = false;                              // not answering: backing off
    double backoff_s = 0;                           // from one round to the next, while lost
    Clock::time_point next_try{};                   // while lost
  };
  struct ReloadJob {
    BusReload changes;
    std::promise<BusReloadResult> done;
  };
  // What a unit set up again keeps of its former self.
  struct Carried {
    Unit unit;  // its counts; the device is gone
    line::LineCounters line;
    state::UnitState row;
  };

  // LineWaits
  bool stopping() const override { return stop_; }
  bool pause_until(Clock::time_point deadline) override;
  void alive() override;

  void run();
  void set_up_all();
  void poll_passes();
  // Waits until `deadline`, a stop, or work; carries out the work.
  void wait_between_passes(std::chrono::steady_clock::time_point deadline);
  void run_commands();
  void run_command(const std::shared_ptr<base::CommandTicket>& ticket);
  void run_reloads();
  // bus_reload.cpp: a reload, between two passes.
  BusReloadResult apply(const BusReload& changes);
  // A unit from another bus, as if it had been set up again here.
  static Carried carried_from(const state::UnitState& row);
  std::map<std::string, Carried> take_down_changed(const BusReload& changes,
                                                   std::vector<Unit>& before,
                                                   BusReloadResult& result);
  // The unit from now on: kept as it was, set up again or added.
  void place(const config::UnitConfig& config, std::vector<Unit>& before,
             std::map<std::string, Carried>& carried, std::vector<state::UnitState>& rows,
             BusReloadResult& result);
  void poll(Unit& unit);
  bool due(const Unit& unit) const { return !unit.lost || Clock::now() >= unit.next_try; }
  // When the next pass begins after one that polled nobody.
  Clock::time_point next_due() const;
  // When the next pass begins after one that `began` at its due time
  // pass_due_ and polled `polled` units; says once when the bus falls
  // behind its interval.
  Clock::time_point next_pass_after(Clock::time_point began, int polled, bool tried_lost);
  // Counts the round in the unit's run of failures, and raises or clears
  // its communication loss.
  void after_round(Unit& unit, bool completed, Clock::time_point started, base::SystemTime began);
  void set_lost(Unit& unit, bool lost);
  // A new device for the unit and its row of the state table (`row` holds
  // what to carry over: counters, last command; the rest comes from
  // `config` and the history).
  Unit set_up(const config::UnitConfig& config, const line::LineCounters& counters,
              state::UnitState& row);
  line::LineCounters take_down(Unit& unit);
  Unit* unit_named(const std::string& name);
  // After a round (`round_completed` set) or a command.
  void write_row(const Unit& unit, std::optional<bool> round_completed,
                 const std::optional<std::string>& report);
  void finish();

  std::unique_ptr<line::RtuLink> link_;
  std::vector<config::UnitConfig> configs_;  // until set up
  devices::Host& host_;
  state::StateTable& table_;
  state::EventStream& stream_;
  BusOptions options_;
  std::vector<Unit> units_;  // the thread's own
  // When the pass under way was due: the schedule's and the back-off's
  // start, whether it began then or a little later.
  Clock::time_point pass_due_{};
  bool told_overrun_ = false;  // the bus fell behind its interval and said so

  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  std::deque<std::shared_ptr<base::CommandTicket>> commands_;
  std::deque<std::unique_ptr<ReloadJob>> reloads_;
  std::set<std::string> names_;
  bool ended_ = false;
  std::optional<std::string> error_;

  std::promise<void> set_up_done_;
  std::thread thread_;
};

}  // namespace gw::bus
