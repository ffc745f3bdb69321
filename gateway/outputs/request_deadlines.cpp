#include "gateway/outputs/request_deadlines.h"

namespace gw::outputs {

void RequestDeadlines::opened(const void* connection, int fd, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_[connection] = Connection{fd, now + limit_};
}

void RequestDeadlines::delivered(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = connections_.find(connection);
  if (found != connections_.end()) found->second.due.reset();
}

void RequestDeadlines::answered(const void* connection, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = connections_.find(connection);
  if (found != connections_.end()) found->second.due = now + limit_;
}

void RequestDeadlines::closed(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(connection);
}

int RequestDeadlines::cut_overdue(Clock::time_point now, const std::function<void(int fd)>& cut) {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (auto& [connection, state] : connections_) {
    if (!state.due || *state.due > now) continue;
    state.due.reset();
    cut(state.fd);
    ++count;
  }
  return count;
}

}  // namespace gw::outputs
