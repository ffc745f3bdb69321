// The service manager's notifications, through libsystemd's sd_notify: the
// service is ready, reloading, stopping; a status line; and the watchdog.
// Without NOTIFY_SOCKET (not started by systemd as Type=notify) each is a
// no-op.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace gw::service {

class Notifier {
 public:
  void ready() const;
  void reloading() const;
  void stopping() const;
  // "STATUS=..." as systemctl status shows it; sent only when it changed.
  void status(const std::string& text);

 private:
  std::mutex mutex_;
  std::string last_status_;
};

// WATCHDOG=1 on behalf of the loops that must all be alive: the poll loop
// of every bus and the main loop. Each kicks it while it works and while
// it waits; the keep-alive goes out once every participant has kicked
// since the last one, at most every quarter of the watchdog's period. A
// loop that hangs stops the keep-alives and the service manager restarts
// the service.
class Watchdog {
 public:
  // From WATCHDOG_USEC (and WATCHDOG_PID); disabled when not set.
  Watchdog();
  bool enabled() const { return period_.count() > 0; }
  // How often the participants must kick: a quarter of the period (a
  // minute when disabled).
  std::chrono::milliseconds kick_every() const;
  std::chrono::microseconds period() const { return period_; }

  int join();
  void leave(int participant);
  void kick(int participant);

 private:
  std::chrono::microseconds period_{0};
  std::mutex mutex_;
  int next_ = 0;
  std::map<int, bool> kicked_;
  std::chrono::steady_clock::time_point last_sent_{};
};

}  // namespace gw::service
