// What other threads hand a bus: commands for its units (from a client of
// the control socket, MQTT, the command line) and reloads, queued here and
// taken by the bus's thread between two polls, so that the gateway stays
// the line's only master; and the stop. The inbox keeps each unit's count
// of commands waiting in the state table.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "gateway/base/command_ticket.h"
#include "gateway/bus/bus_reload.h"
#include "gateway/state/unit_table.h"

namespace gw::bus {

// Commands queued for one unit beyond this are answered "busy".
inline constexpr int kMaxCommandsWaiting = 8;

class BusInbox {
 public:
  using Clock = std::chrono::steady_clock;
  struct ReloadJob {
    BusReload changes;
    std::promise<BusReloadResult> done;
  };

  BusInbox(state::StateTable& table, std::set<std::string> names);

  // From any thread.
  // Queues a command for one of the bus's units; nothing when none has
  // the name. The ticket is answered at once when the bus has stopped or
  // the unit has too many commands waiting.
  std::shared_ptr<base::CommandTicket> submit(const std::string& unit,
                                              const base::Command& command);
  // Nothing when the bus has ended.
  std::optional<std::future<BusReloadResult>> submit(BusReload changes);
  void stop();
  bool stopping() const { return stop_; }
  bool has_unit(const std::string& name) const;
  bool ended() const;
  std::optional<std::string> error() const;

  // On the bus's thread.
  // The next command, or nothing when none waits or the bus is stopping.
  std::shared_ptr<base::CommandTicket> next_command();
  std::unique_ptr<ReloadJob> next_reload();
  void set_names(std::set<std::string> names);
  enum class Woken { kDue, kWork, kStopped };
  // Waits until `deadline`, a stop, or (when `for_work`) a command or a
  // reload; calls `alive` at least every `alive_every` meanwhile.
  Woken wait_until(Clock::time_point deadline, bool for_work, std::chrono::milliseconds alive_every,
                   const std::function<void()>& alive);
  // The bus has ended (with `error`, if any): what still waits is answered,
  // since the bus will carry nothing out any more.
  void close(std::optional<std::string> error);

 private:
  state::StateTable& table_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  std::deque<std::shared_ptr<base::CommandTicket>> commands_;
  std::deque<std::unique_ptr<ReloadJob>> reloads_;
  std::set<std::string> names_;
  bool ended_ = false;
  std::optional<std::string> error_;
};

}  // namespace gw::bus
