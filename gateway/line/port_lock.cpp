#include "gateway/line/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace gw::line {
namespace {

// The command name of a process, for messages.
std::string process_name(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string busy_text(const std::string& port, std::optional<pid_t> holder) {
  std::string text = "serial port " + port + " is in use";
  if (!holder) return text + " by another process";
  text += " by process " + std::to_string(*holder);
  const std::string name = process_name(*holder);
  return name.empty() ? text : text + " (" + name + ")";
}

}  // namespace

PortBusy::PortBusy(const std::string& port, std::optional<pid_t> holder, const std::string& more)
    : std::runtime_error(busy_text(port, holder) + more), holder_(holder) {}

PortLock::PortLock(PortLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

PortLock& PortLock::operator=(PortLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

PortLock PortLock::take(const std::string& port) {
  // Non-blocking: a terminal's open must not wait for a carrier.
  const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    if (code == EBUSY) {  // in exclusive mode
      const std::optional<pid_t> holder = lock_holder(port);
      if (holder) throw PortBusy(port, holder);
      // A pseudo-terminal keeps the mode after its holder was killed.
      throw PortBusy(port, std::nullopt, " (or left in exclusive mode by one that was killed)");
    }
    throw std::system_error(code, std::generic_category(), "cannot open serial port " + port);
  }
  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK) throw PortBusy(port, lock_holder(port));
    throw std::system_error(code, std::generic_category(), "cannot lock serial port " + port);
  }
  return PortLock(fd);
}

void PortLock::make_exclusive() const {
  if (fd_ >= 0) ::ioctl(fd_, TIOCEXCL);  // not a terminal (a test's file): no such mode
}

void PortLock::release() {
  if (fd_ < 0) return;
  // The mode belongs to the terminal, not to this descriptor: a terminal
  // that outlives the gateway (a pseudo-terminal whose other end stays
  // open) would otherwise stay closed to everyone else.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);  // drops the advisory lock too
  fd_ = -1;
}

std::optional<pid_t> lock_holder(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 1234 00:19:4 0 EOF": the device of the
  // file system in hexadecimal, then the inode.
  char device[32];
  std::snprintf(device, sizeof device, "%02x:%02x:", major(status.st_dev), minor(status.st_dev));
  const std::string file = device + std::to_string(status.st_ino);
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    if (!(fields >> number >> kind >> mode >> access >> pid >> where)) continue;
    if (kind == "FLOCK" && where == file &&
        pid.find_first_not_of("0123456789") == std::string::npos)
      return static_cast<pid_t>(std::stol(pid));
  }
  return std::nullopt;
}

}  // namespace gw::line
