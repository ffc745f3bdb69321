#include "gateway/service/notify.h"

#include <systemd/sd-daemon.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

namespace gw::service {
namespace {

// MONOTONIC_USEC tells the service manager when a reload began.
std::string monotonic_usec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::to_string(static_cast<uint64_t>(now.tv_sec) * 1000000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1000u);
}

}  // namespace

void Notifier::ready() const { sd_notify(0, "READY=1"); }

void Notifier::reloading() const {
  sd_notify(0, ("RELOADING=1\nMONOTONIC_USEC=" + monotonic_usec()).c_str());
}

void Notifier::stopping() const { sd_notify(0, "STOPPING=1"); }

void Notifier::status(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (text == last_status_) return;
  last_status_ = text;
  sd_notify(0, ("STATUS=" + text).c_str());
}

Watchdog::Watchdog() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) period_ = std::chrono::microseconds(usec);
}

std::chrono::milliseconds Watchdog::kick_every() const {
  if (!enabled()) return std::chrono::minutes(1);
  return std::max(std::chrono::milliseconds(1),
                  std::chrono::duration_cast<std::chrono::milliseconds>(period_ / 4));
}

int Watchdog::join() {
  std::lock_guard<std::mutex> lock(mutex_);
  kicked_[next_] = false;
  return next_++;
}

void Watchdog::leave(int participant) {
  std::lock_guard<std::mutex> lock(mutex_);
  kicked_.erase(participant);
}

void Watchdog::kick(int participant) {
  if (!enabled()) return;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = kicked_.find(participant);
  if (found == kicked_.end()) return;
  found->second = true;
  if (now - last_sent_ < period_ / 4) return;
  if (!std::all_of(kicked_.begin(), kicked_.end(), [](const auto& entry) { return entry.second; }))
    return;
  sd_notify(0, "WATCHDOG=1");
  last_sent_ = now;
  for (auto& entry : kicked_) entry.second = false;
}

}  // namespace gw::service
