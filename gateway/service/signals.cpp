#include "gateway/service/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace gw::service {

SignalInbox::SignalInbox() {
  sigset_t taken;
  sigemptyset(&taken);
  for (int number : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&taken, number);
  if (pthread_sigmask(SIG_BLOCK, &taken, nullptr) != 0)
    throw std::system_error(errno, std::generic_category(), "cannot block signals");
  ::signal(SIGPIPE, SIG_IGN);
  fd_ = signalfd(-1, &taken, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

SignalInbox::~SignalInbox() { ::close(fd_); }

std::optional<int> SignalInbox::take() {
  signalfd_siginfo info{};
  ssize_t got;
  do {
    got = ::read(fd_, &info, sizeof info);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof info)) return std::nullopt;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace gw::service
