// The HTTP endpoint's deadline for a request to arrive whole: from a
// connection's accept, or from the end of its previous answer (keep-alive),
// the client has `limit` to deliver the request (its line, headers and
// body), however it trickles: the server's inactivity timeout restarts at
// every byte and would let a byte a second hold a connection for ever.
// A connection past its deadline is cut (its socket shut down; the server
// then closes it). Every time is an argument; safe from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace gw::outputs {

class RequestDeadlines {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RequestDeadlines(std::chrono::milliseconds limit) : limit_(limit) {}

  // `connection` is the server's handle, `fd` its socket.
  void opened(const void* connection, int fd, Clock::time_point now);
  // Its request arrived whole: no deadline while it is answered.
  void delivered(const void* connection);
  // Its answer was sent: the next request is due within the limit.
  void answered(const void* connection, Clock::time_point now);
  void closed(const void* connection);

  // Calls `cut` with the socket of every connection past its deadline, once
  // each, under the lock (so a connection cannot close and its socket be
  // reused meanwhile). Returns how many were cut.
  int cut_overdue(Clock::time_point now, const std::function<void(int fd)>& cut);

 private:
  struct Connection {
    int fd;
    std::optional<Clock::time_point> due;  // none: answering, or cut already
  };
  const std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::unordered_map<const void*, Connection> connections_;
};

}  // namespace gw::outputs
