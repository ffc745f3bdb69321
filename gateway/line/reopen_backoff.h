// How long a lost port waits before it is opened again: 100 ms after the
// loss, doubling after every failed reopening up to 2 s, and back to 100 ms
// once the port is open. A rule over counts: the waiting is the line's.
#pragma once

#include <algorithm>
#include <chrono>

namespace gw::line {

class ReopenBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{100};
  static constexpr std::chrono::milliseconds kLongest{2000};

  // Before the next reopening.
  std::chrono::milliseconds delay() const { return delay_; }
  void failed() { delay_ = std::min(2 * delay_, kLongest); }
  void opened() { delay_ = kFirst; }

 private:
  std::chrono::milliseconds delay_ = kFirst;
};

}  // namespace gw::line
