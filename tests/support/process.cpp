#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace testproc {

using Clock = std::chrono::steady_clock;

Process::Process(const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;  // the added first: they win over the test's own
  for (const std::string& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  env.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  fds_[kOut] = out[0];
  fds_[kErr] = err[0];
  if (spawned != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv.at(0));
  }
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

bool Process::pump(milliseconds timeout) {
  pollfd waiting[2];
  int count = 0;
  for (int fd : fds_)
    if (fd >= 0) waiting[count++] = {fd, POLLIN, 0};
  if (count == 0) return false;
  if (::poll(waiting, static_cast<nfds_t>(count), static_cast<int>(timeout.count())) <= 0)
    return true;
  for (int i = 0; i < count; ++i) {
    if (waiting[i].revents == 0) continue;
    const int stream = waiting[i].fd == fds_[kOut] ? kOut : kErr;
    char buffer[4096];
    const ssize_t got = ::read(waiting[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      text_[stream].append(buffer, static_cast<size_t>(got));
    } else {
      ::close(fds_[stream]);
      fds_[stream] = -1;
    }
  }
  return true;
}

std::optional<std::string> Process::next_line(const std::string& needle, Stream stream,
                                              milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::string& text = text_[stream];
    size_t end;
    while ((end = text.find('\n', taken_[stream])) != std::string::npos) {
      std::string line = text.substr(taken_[stream], end - taken_[stream]);
      taken_[stream] = end + 1;
      if (line.find(needle) != std::string::npos) return line;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || fds_[stream] < 0) return std::nullopt;
    pump(std::min(left, milliseconds(100)));
  }
}

void Process::signal(int number) {
  if (pid_ > 0 && !status_) ::kill(pid_, number);
}

bool Process::exited() {
  int status = 0;
  if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return status_.has_value();
}

int Process::wait_exit(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!exited()) {
    if (Clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      status_ = -1;
      break;
    }
    pump(milliseconds(20));
  }
  while (pump(milliseconds(200))) {
  }  // the rest of the output
  return *status_;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/norvane-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream(file(name), std::ios::binary) << text;
}

}  // namespace testproc
