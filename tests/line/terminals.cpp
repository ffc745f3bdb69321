#include "tests/line/terminals.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace line {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void make_raw(int fd) {
  termios raw{};
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(fd, TCSANOW, &raw);
}

}  // namespace

int open_raw_terminal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + path);
  make_raw(fd);
  return fd;
}

LinkedPty::LinkedPty(std::string link) : link_(std::move(link)) { appear(); }

LinkedPty::~LinkedPty() { vanish(); }

void LinkedPty::vanish() {
  ::unlink(link_.c_str());
  if (control_ >= 0) ::close(control_);
  if (terminal_ >= 0) ::close(terminal_);
  control_ = terminal_ = -1;
}

void LinkedPty::appear() {
  char name[256] = {};
  if (openpty(&control_, &terminal_, name, nullptr, nullptr) != 0) fail("cannot open a pty");
  make_raw(terminal_);
  fcntl(control_, F_SETFD, FD_CLOEXEC);
  fcntl(terminal_, F_SETFD, FD_CLOEXEC);
  fcntl(control_, F_SETFL, O_NONBLOCK);
  path_ = name;
  // A new link beside the old path, renamed over it: the path never names
  // nothing while the terminal is up.
  const std::string fresh = link_ + ".new";
  ::unlink(fresh.c_str());
  if (::symlink(path_.c_str(), fresh.c_str()) != 0) fail("cannot link " + fresh);
  if (::rename(fresh.c_str(), link_.c_str()) != 0) fail("cannot rename " + fresh);
}

}  // namespace line
