// The signals that the gateway acts on, taken by the main thread from a
// signalfd:
//
//   SIGTERM, SIGINT   stop
//   SIGHUP            reload the configuration
//   SIGUSR1           log every unit's state and counters
//   SIGUSR2           switch the debug log (frame trace) on and off
//
// They are blocked in every thread (the inbox is made before any thread
// is started, and threads inherit the mask), so no system call of a bus
// thread or of the control socket is ever interrupted by one. SIGPIPE is
// ignored: a client that goes away is an error on its socket.
#pragma once

#include <optional>

namespace gw::service {

class SignalInbox {
 public:
  // Blocks the signals above in the calling thread. Throws
  // std::system_error.
  SignalInbox();
  ~SignalInbox();
  SignalInbox(const SignalInbox&) = delete;
  SignalInbox& operator=(const SignalInbox&) = delete;

  // Readable when a signal is pending.
  int fd() const { return fd_; }
  // The next pending signal's number, without waiting.
  std::optional<int> take();

 private:
  int fd_ = -1;
};

}  // namespace gw::service
