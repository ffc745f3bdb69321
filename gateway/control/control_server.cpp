#include "gateway/control/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gateway/base/log.h"
#include "gateway/control/protocol.h"
#include "gateway/control/request_lines.h"

namespace gw::control {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr size_t kEventQueue = 1024;  // events a slow client may fall behind by
constexpr int kPollMs = 100;          // how often an event stream looks for a stop

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

std::string error_line(const std::string& error) {
  Json::Value reply(Json::objectValue);
  reply["ok"] = false;
  reply["error"] = error;
  return json_line(reply) + "\n";
}

// One try, never waiting: for a last word to a client about to be closed.
void send_now(int fd, const std::string& text) {
  [[maybe_unused]] const ssize_t sent =
      ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

int millis_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

}  // namespace

bool socket_answers(const std::string& path) {
  if (path.size() >= sizeof(sockaddr_un::sun_path)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_un address = address_of(path);
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  ::close(fd);
  return result == 0;
}

ControlServer::ControlServer(const std::string& path, state::ServiceApi& api)
    : path_(path), api_(api) {
  const std::string what = "control socket " + path + ": ";
  if (path.size() >= sizeof(sockaddr_un::sun_path))
    throw ControlError(what + "longer than " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                       " bytes");
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) throw ControlError(what + "exists and is not a socket");
    if (socket_answers(path)) throw ControlError(what + "another process answers on it");
    ::unlink(path.c_str());  // left by a gateway that did not stop cleanly
  }
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = address_of(path);
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const std::string reason = std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    throw ControlError(what + "cannot be made: " + reason);
  }
  ::chmod(path.c_str(), 0660);
  ::listen(listen_fd_, kMaxClients);
  if (::stat(path.c_str(), &status) == 0) inode_ = status.st_ino;
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ControlServer::~ControlServer() {
  stop();
  struct stat status {};
  if (::stat(path_.c_str(), &status) == 0 && status.st_ino == inode_) ::unlink(path_.c_str());
  ::close(listen_fd_);
  ::close(stop_fd_);
}

void ControlServer::start() {
  acceptor_ = std::thread([this] { accept_loop(); });
}

void ControlServer::stop() {
  stopping_ = true;
  const uint64_t one = 1;
  // Readable from now on, for every poller.
  [[maybe_unused]] const ssize_t written = ::write(stop_fd_, &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  reap(true);
}

void ControlServer::accept_loop() {
  for (;;) {
    pollfd waiting[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(waiting, 2, -1) < 0) continue;  // EINTR
    if (waiting[1].revents != 0) return;
    if (waiting[0].revents == 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    reap(false);
    admit(fd);
  }
}

void ControlServer::admit(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  long serving = 0;
  for (const auto& client : clients_) serving += !client->done && !client->evicted;
  if (serving >= kMaxClients) {
    Client* idle = longest_idle(now);
    if (idle == nullptr) {
      send_now(fd, error_line("busy: " + std::to_string(kMaxClients) +
                              " clients already, none of them idle"));
      ::close(fd);
      return;
    }
    idle->evicted = true;
    ++evicted_;
    send_now(idle->fd, error_line("closed: all " + std::to_string(kMaxClients) +
                                  " places were taken and this connection was idle the longest"));
    ::shutdown(idle->fd, SHUT_RDWR);  // its thread sees the end and closes it
    base::log::info("control: a connection idle the longest was closed for a new client");
  }
  auto client = std::make_unique<Client>();
  Client* serving_client = client.get();
  client->fd = fd;
  client->idle_since = now;
  clients_.push_back(std::move(client));
  serving_client->thread = std::thread([this, serving_client] {
    serve(*serving_client);
    {
      std::lock_guard<std::mutex> done_lock(mutex_);
      serving_client->done = true;  // from now on no other thread uses its fd
    }
    ::close(serving_client->fd);
  });
}

ControlServer::Client* ControlServer::longest_idle(Clock::time_point now) {
  Client* longest = nullptr;
  for (const auto& client : clients_) {
    if (client->done || client->evicted || client->at_work) continue;
    if (now - client->idle_since < kEvictableIdle) continue;
    if (longest == nullptr || client->idle_since < longest->idle_since) longest = client.get();
  }
  return longest;
}

void ControlServer::reap(bool all) {
  std::list<std::unique_ptr<Client>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& client : finished)
    if (client->thread.joinable()) client->thread.join();
}

ClientCounts ControlServer::counts() const {
  ClientCounts counts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& client : clients_) counts.connected += !client->done && !client->evicted;
  }
  counts.dropped_slow = dropped_slow_;
  counts.closed_idle = closed_idle_;
  counts.evicted = evicted_;
  return counts;
}

bool ControlServer::stopping() const { return stopping_; }

ControlServer::Wait ControlServer::wait_readable(int fd, int timeout_ms) const {
  pollfd waiting[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(waiting, 2, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0 || waiting[1].revents != 0) return Wait::kStop;
  return waiting[0].revents != 0 ? Wait::kReady : Wait::kTimeout;
}

bool ControlServer::send_line(int fd, const std::string& line) {
  Clock::time_point deadline = Clock::now() + kWriteDeadline;
  bool stop_seen = false;
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t count =
        ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count > 0) {
      sent += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;  // gone
    if (!stop_seen && stopping()) {
      stop_seen = true;
      deadline = std::min(deadline, Clock::now() + kStopGrace);
    }
    const int left = millis_until(deadline);
    if (Clock::now() >= deadline) {
      ++dropped_slow_;
      base::log::warning(std::string("control: dropped a client that took no reply line within ") +
                         (stop_seen ? "the stop's grace" : "the write deadline"));
      return false;
    }
    // The socket's buffer is full: wait for room, or for a stop to shorten
    // the deadline.
    pollfd waiting[2] = {{fd, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
    ::poll(waiting, stop_seen ? 1 : 2, left);
  }
  return true;
}

bool ControlServer::set_at_work(Client& client, bool at_work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (client.evicted) return false;
  client.at_work = at_work;
  if (!at_work) client.idle_since = Clock::now();
  return true;
}

void ControlServer::serve(Client& client) {
  RequestLines lines(kMaxRequestBytes);
  char chunk[4096];
  for (;;) {
    while (const std::optional<std::string> line = lines.next())
      if (!answer(client, *line)) return;
    if (lines.overlong()) {
      send_line(client.fd, overlong_reply() + "\n");
      return;
    }
    Clock::time_point idle_since;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      idle_since = client.idle_since;
    }
    switch (wait_readable(client.fd, millis_until(idle_since + kIdleTimeout))) {
      case Wait::kStop:
        return;
      case Wait::kTimeout:
        ++closed_idle_;
        send_now(client.fd, error_line("closed: no request for " +
                                       std::to_string(kIdleTimeout.count()) + " s"));
        return;
      case Wait::kReady:
        break;
    }
    const ssize_t count = ::read(client.fd, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (count <= 0) return;  // the client is done, or was evicted
    lines.append(chunk, static_cast<size_t>(count));
  }
}

bool ControlServer::answer(Client& client, const std::string& line) {
  if (!set_at_work(client, true)) return false;
  const Handled handled = handle_request(line, api_, counts());
  if (!handled.stream_events) {
    const bool sent = send_line(client.fd, handled.reply + "\n");
    set_at_work(client, false);
    return sent;
  }
  // Subscribed before the reply goes out: the client misses nothing that
  // happens after it has read the reply.
  auto subscription = api_.events().subscribe(kEventQueue);
  if (send_line(client.fd, handled.reply + "\n")) stream_events(client.fd, *subscription);
  return false;
}

void ControlServer::stream_events(int fd, state::EventStream::Subscription& subscription) {
  long dropped = 0;
  for (;;) {
    pollfd peer[2] = {{fd, POLLRDHUP, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(peer, 2, 0) > 0 && (peer[0].revents != 0 || peer[1].revents != 0)) return;
    const std::optional<state::Event> event = subscription.next(milliseconds(kPollMs));
    if (!event) {
      if (subscription.closed()) return;
      continue;
    }
    if (subscription.dropped() != dropped) {
      dropped = subscription.dropped();
      if (!send_line(fd, "{\"event\":\"dropped\",\"count\":" + std::to_string(dropped) + "}\n"))
        return;
    }
    if (!send_line(fd, event_line(*event) + "\n")) return;
  }
}

}  // namespace gw::control
