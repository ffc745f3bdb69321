// The control socket: a Unix stream socket on which clients (norvane-gateway
// ctl, scripts, socat) send requests and read replies, one JSON object per
// line each way (see protocol.h). The socket file has mode 0660: who may
// control the service is whoever the file's group lets in.
//
// One thread accepts; each connection is served by a thread of its own, so
// that a client waiting for a command's outcome holds up no other.
//
// No client holds the service or other clients:
//  - a reply line must be taken within kWriteDeadline, else the client is
//    dropped (counted as dropped_slow); from a stop on, within kStopGrace;
//  - a connection that sends no complete request for kIdleTimeout after
//    its last reply (or its accept) is told so and closed (closed_idle);
//  - at most kMaxClients connections at once; when all places are taken, a
//    new client takes the place of the connection idle the longest (at
//    least kEvictableIdle), which is told so and closed (evicted); only
//    when every connection is at work (a request, a command's wait, an
//    event stream) is the new one answered "busy" and closed.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <sys/types.h>

#include "gateway/control/protocol.h"
#include "gateway/state/service_api.h"

namespace gw::control {

class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ControlServer {
 public:
  static constexpr int kMaxClients = 16;
  static constexpr std::chrono::milliseconds kWriteDeadline{2000};
  static constexpr std::chrono::milliseconds kStopGrace{100};
  static constexpr std::chrono::seconds kIdleTimeout{60};
  static constexpr std::chrono::milliseconds kEvictableIdle{1000};

  // Binds and listens at `path`. A socket file that nothing answers on any
  // more (left by a gateway that was killed) is replaced; one that another
  // process answers on, or a file that is no socket, is an error. Throws
  // ControlError naming the path.
  ControlServer(const std::string& path, state::ServiceApi& api);
  // Stops and removes the socket file.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Starts accepting clients.
  void start();
  // Stops accepting and closes every connection; a reply being written gets
  // kStopGrace, a command's wait ends with the buses' stop (stop them first).
  void stop();
  const std::string& path() const { return path_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Client {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    // Under mutex_:
    bool at_work = false;          // answering a request or streaming events
    Clock::time_point idle_since;  // the accept or the last reply
    bool evicted = false;          // its place was given to a new client
  };
  enum class Wait { kReady, kTimeout, kStop };

  void accept_loop();
  void admit(int fd);
  // The connection idle the longest, long enough to give up its place.
  Client* longest_idle(Clock::time_point now);
  void serve(Client& client);
  // Whether the connection goes on.
  bool answer(Client& client, const std::string& line);
  // Marks the client at work, or idle from now; false when it was evicted.
  bool set_at_work(Client& client, bool at_work);
  void stream_events(int fd, state::EventStream::Subscription& subscription);
  // Writes the whole line within kWriteDeadline (kStopGrace once stopping);
  // false when the client is gone or was too slow (then counted).
  bool send_line(int fd, const std::string& line);
  // Waits until `fd` is readable, the timeout passes or the server stops.
  Wait wait_readable(int fd, int timeout_ms) const;
  bool stopping() const;
  ClientCounts counts() const;
  void reap(bool all);

  std::string path_;
  state::ServiceApi& api_;
  int listen_fd_ = -1;
  int stop_fd_ = -1;  // an eventfd, readable once stop() was called
  std::atomic<bool> stopping_{false};
  ino_t inode_ = 0;  // of the socket file that is ours
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Client>> clients_;
  std::atomic<long> dropped_slow_{0}, closed_idle_{0}, evicted_{0};
};

// Whether a process answers on the socket at `path`.
bool socket_answers(const std::string& path);

}  // namespace gw::control
