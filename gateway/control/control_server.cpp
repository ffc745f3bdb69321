#include "gateway/control/control_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gateway/base/log.h"
#include "gateway/control/protocol.h"

namespace gw::control {
namespace {

constexpr size_t kEventQueue = 1024;  // events a slow client may fall behind by
constexpr int kPollMs = 200;          // how often an event stream looks for a stop

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

bool send_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t count = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

std::string error_line(const std::string& error) {
  Json::Value reply(Json::objectValue);
  reply["ok"] = false;
  reply["error"] = error;
  return json_line(reply) + "\n";
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
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    reap(false);
    std::lock_guard<std::mutex> lock(mutex_);
    if (clients_.size() >= static_cast<size_t>(kMaxClients)) {
      send_all(fd, error_line("busy: " + std::to_string(kMaxClients) + " clients already"));
      ::close(fd);
      continue;
    }
    auto client = std::make_unique<Client>();
    Client* serving = client.get();
    clients_.push_back(std::move(client));
    serving->thread = std::thread([this, fd, serving] {
      serve(fd);
      ::close(fd);
      serving->done = true;
    });
  }
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

bool ControlServer::wait_readable(int fd, int timeout_ms) const {
  pollfd waiting[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(waiting, 2, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && waiting[1].revents == 0 && waiting[0].revents != 0;
}

void ControlServer::serve(int fd) {
  std::string buffer;
  char chunk[4096];
  while (wait_readable(fd, -1)) {
    ssize_t count;
    do {
      count = ::read(fd, chunk, sizeof chunk);
    } while (count < 0 && errno == EINTR);
    if (count <= 0) return;  // the client is done
    buffer.append(chunk, static_cast<size_t>(count));
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      const Handled handled = handle_request(line, api_);
      if (!handled.stream_events) {
        if (!send_all(fd, handled.reply + "\n")) return;
        continue;
      }
      // Subscribed before the reply goes out: the client misses nothing
      // that happens after it has read the reply.
      auto subscription = api_.events().subscribe(kEventQueue);
      if (!send_all(fd, handled.reply + "\n")) return;
      return stream_events(fd, *subscription);
    }
    if (buffer.size() > kMaxRequestBytes) {
      send_all(fd,
               error_line("a request longer than " + std::to_string(kMaxRequestBytes) + " bytes"));
      return;
    }
  }
}

void ControlServer::stream_events(int fd, state::EventStream::Subscription& subscription) {
  long dropped = 0;
  for (;;) {
    pollfd peer[2] = {{fd, POLLRDHUP, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(peer, 2, 0) > 0 && (peer[0].revents != 0 || peer[1].revents != 0)) return;
    const std::optional<state::Event> event = subscription.next(std::chrono::milliseconds(kPollMs));
    if (!event) {
      if (subscription.closed()) return;
      continue;
    }
    if (subscription.dropped() != dropped) {
      dropped = subscription.dropped();
      if (!send_all(fd, "{\"event\":\"dropped\",\"count\":" + std::to_string(dropped) + "}\n"))
        return;
    }
    if (!send_all(fd, event_line(*event) + "\n")) return;
  }
}

}  // namespace gw::control
