#include "gateway/state/event_stream.h"

#include <algorithm>

namespace gw::state {

std::optional<Event> EventStream::Subscription::next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_for(lock, timeout, [&] { return !queue_.empty() || closed_; });
  if (queue_.empty()) return std::nullopt;
  Event event = std::move(queue_.front());
  queue_.pop_front();
  return event;
}

long EventStream::Subscription::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

bool EventStream::Subscription::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void EventStream::Subscription::push(const Event& event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= capacity_) {
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(event);
  }
  ready_.notify_one();
}

void EventStream::Subscription::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::shared_ptr<EventStream::Subscription> EventStream::subscribe(size_t capacity) {
  auto subscription = std::make_shared<Subscription>(std::max<size_t>(capacity, 1));
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_)
    subscription->close();
  else
    subscribers_.push_back(subscription);
  return subscription;
}

bool EventStream::has_subscribers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(subscribers_.begin(), subscribers_.end(),
                     [](const std::weak_ptr<Subscription>& s) { return !s.expired(); });
}

void EventStream::publish(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(std::remove_if(subscribers_.begin(), subscribers_.end(),
                                    [&](const std::weak_ptr<Subscription>& weak) {
                                      const auto subscriber = weak.lock();
                                      if (subscriber) subscriber->push(event);
                                      return !subscriber;
                                    }),
                     subscribers_.end());
}

void EventStream::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (const auto& weak : subscribers_)
    if (const auto subscriber = weak.lock()) subscriber->close();
  subscribers_.clear();
}

}  // namespace gw::state
