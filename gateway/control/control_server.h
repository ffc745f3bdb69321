// The control socket: a Unix stream socket on which clients (norvane-gateway
// ctl, scripts, socat) send requests and read replies, one JSON object per
// line each way (see protocol.h). The socket file has mode 0660: who may
// control the service is whoever the file's group lets in.
//
// One thread accepts; each connection is served by a thread of its own, so
// that a client waiting for a command's outcome holds up no other. At most
// kMaxClients connections at once; one more is answered with an error and
// closed.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <sys/types.h>

#include "gateway/state/service_api.h"

namespace gw::control {

class ControlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ControlServer {
 public:
  static constexpr int kMaxClients = 16;

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
  // Closes every connection (after the reply being written) and stops
  // accepting.
  void stop();
  const std::string& path() const { return path_; }

 private:
  struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void accept_loop();
  void serve(int fd);
  void stream_events(int fd, state::EventStream::Subscription& subscription);
  // Waits until `fd` is readable or the server stops; false on a stop.
  bool wait_readable(int fd, int timeout_ms) const;
  void reap(bool all);

  std::string path_;
  state::ServiceApi& api_;
  int listen_fd_ = -1;
  int stop_fd_ = -1;  // an eventfd, readable once stop() was called
  ino_t inode_ = 0;   // of the socket file that is ours
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Client>> clients_;
};

// Whether a process answers on the socket at `path`.
bool socket_answers(const std::string& path);

}  // namespace gw::control
