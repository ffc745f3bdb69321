#include "gateway/service/plugin_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "gateway/base/log.h"

namespace gw::service {
namespace {

// At the stop, what a writer has left is read, at most this many times
// 4 KiB: a child that keeps writing does not hold the stop up.
constexpr size_t kReadsAtStop = 16;

}  // namespace

std::vector<std::string> LineCutter::take(std::string_view bytes) {
  std::vector<std::string> lines;
  for (const char c : bytes) {
    if (c == '\n') {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      lines.push_back(std::move(partial_));
      partial_.clear();
      continue;
    }
    partial_ += c;
    if (partial_.size() == kLongestLine) {
      lines.push_back(std::move(partial_));
      partial_.clear();
    }
  }
  return lines;
}

std::string LineCutter::rest() {
  std::string last = std::move(partial_);
  partial_.clear();
  return last;
}

PluginOutput::PluginOutput(std::function<void(const std::string&)> line) : line_(std::move(line)) {
  int ends[2] = {-1, -1};
  if (!base::log::keep_standard_output_apart() || ::pipe2(ends, O_CLOEXEC) != 0) {
    base::log::warning(std::string("the plug-in's standard output stays as it is: ") +
                       std::strerror(errno));
    return;
  }
  std::cout.flush();
  std::fflush(stdout);
  saved_fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // The read end never blocks: at the stop, what is there is read and no more.
  if (saved_fd_ < 0 || stop_fd_ < 0 || ::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0 ||
      ::dup2(ends[1], STDOUT_FILENO) < 0) {
    base::log::warning(std::string("the plug-in's standard output stays as it is: ") +
                       std::strerror(errno));
    for (const int fd : {ends[0], ends[1], saved_fd_, stop_fd_})
      if (fd >= 0) ::close(fd);
    saved_fd_ = stop_fd_ = -1;
    return;
  }
  ::close(ends[1]);  // descriptor 1 is the only write end
  read_fd_ = ends[0];
  reader_ = std::thread([this] { read_lines(); });
}

PluginOutput::~PluginOutput() {
  if (read_fd_ < 0) return;
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_fd_, STDOUT_FILENO);
  const uint64_t one = 1;
  if (::write(stop_fd_, &one, sizeof one) < 0) {
    // An eventfd takes a write unless its count is full, which one stop never makes it.
  }
  reader_.join();
  for (const int fd : {read_fd_, saved_fd_, stop_fd_}) ::close(fd);
}

void PluginOutput::read_lines() {
  pollfd watched[2] = {{read_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    if (::poll(watched, 2, -1) < 0 && errno != EINTR) break;
    if (watched[1].revents != 0) break;
    if (watched[0].revents & POLLIN) drain(SIZE_MAX);
    if (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL) && !(watched[0].revents & POLLIN))
      break;  // every write end is closed
  }
  drain(kReadsAtStop);
  if (const std::string last = cutter_.rest(); !last.empty()) line_(last);
}

void PluginOutput::drain(size_t reads) {
  char bytes[4096];
  for (; reads > 0; --reads) {
    const ssize_t count = ::read(read_fd_, bytes, sizeof bytes);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    for (const std::string& line : cutter_.take({bytes, static_cast<size_t>(count)})) line_(line);
  }
}

}  // namespace gw::service
