// Exclusive use of a serial port, so that a line never has two masters.
//
// Two locks, for two kinds of other process: an advisory lock (flock) on
// the device node, which every gateway and anything else that honours it
// (flock(1), other software written the same way) takes before it touches
// the line, and the terminal's exclusive mode (TIOCEXCL), under which the
// kernel refuses every further open of the terminal to processes without
// CAP_SYS_ADMIN. The lock is taken before the line is set up, so that a
// second gateway refused here has changed nothing on the line.
#pragma once

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace gw::line {

// The port is held by another process: "serial port PATH is in use by
// process PID (NAME)", or without the process where it cannot be known.
class PortBusy : public std::runtime_error {
 public:
  PortBusy(const std::string& port, std::optional<pid_t> holder, const std::string& more = "");
  const std::optional<pid_t>& holder() const { return holder_; }

 private:
  std::optional<pid_t> holder_;
};

class PortLock {
 public:
  PortLock() = default;
  ~PortLock() { release(); }
  PortLock(PortLock&& other) noexcept;
  PortLock& operator=(PortLock&& other) noexcept;

  // Opens the port and takes the advisory lock. Throws PortBusy when
  // another process holds it, std::system_error when the port cannot be
  // opened.
  static PortLock take(const std::string& port);

  // Puts the terminal in exclusive mode; once the line is open, since the
  // mode refuses every later open, the gateway's own too.
  void make_exclusive() const;
  // Leaves exclusive mode, drops the lock and closes the descriptor.
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  explicit PortLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The process that holds an advisory lock on the file at `path`, from
// /proc/locks.
std::optional<pid_t> lock_holder(const std::string& path);

}  // namespace gw::line
