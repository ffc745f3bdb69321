// What a serial line asks of the bus worker that drives it.
#pragma once

#include <chrono>

namespace gw::line {

class LineWaits {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~LineWaits() = default;
  // A stop was asked for: no request may begin.
  virtual bool stopping() const = 0;
  // Waits until `when` unless a stop comes first; false when it did.
  virtual bool pause_until(Clock::time_point when) = 0;
  bool pause(std::chrono::milliseconds duration) { return pause_until(Clock::now() + duration); }
  // A sign of life, given at least every kAliveEveryMs while the line is
  // busy or waits for a reply.
  virtual void alive() = 0;
  static constexpr int kAliveEveryMs = 50;
};

}  // namespace gw::line
