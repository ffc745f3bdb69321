// The one thread that writes the history, for every bus. Bus threads hand
// it records and alarm events through a bounded queue and never wait for
// the file: while it cannot be written (locked by another process, full,
// failing) they wait in the queue and are written in order once it can be,
// tried again at 0.1 s, then doubling up to every 5 s. When the queue is
// full the oldest record gives way first, an alarm event only when no
// record is left to give way; what gives way is counted and logged. A row
// that the database refuses for good (a constraint) is counted lost and
// the rest go on. Old records are pruned in small batches between writes.
//
// A file that cannot be opened at start for a reason that waiting mends (a
// lock, a full disk) does not hold the gateway up: it is opened later.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/history/history.h"
#include "gateway/state/unit_table.h"

namespace gw::history {

class HistoryWriter : public HistoryStore {
 public:
  HistoryWriter(std::string path, const config::HistoryOptions& options);
  ~HistoryWriter() override;  // finish(0)
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // Opens the file and starts the thread. Throws HistoryError when the
  // file cannot be opened for a reason that waiting does not mend (no such
  // folder, no permission).
  void start();

  void save_record(StoredRecord record) override;
  void save_event(const AlarmEvent& event) override;

  // Reads, answered by the writer's thread from the file and the queue
  // together; nothing when the history cannot answer within `timeout`.
  std::optional<std::optional<std::string>> newest_record(const std::string& device, int data_id,
                                                          std::chrono::milliseconds timeout);
  std::optional<std::vector<AlarmEvent>> raised_alarms(const std::string& device,
                                                       std::chrono::milliseconds timeout);
  std::optional<long> record_count(const std::string& device, int data_id,
                                   std::chrono::milliseconds timeout);

  // Writes what waits, trying for at most `patience`, and ends the thread;
  // what is still waiting then is counted lost.
  void finish(std::chrono::milliseconds patience);

  state::HistoryState state() const;

 private:
  using Item = std::variant<StoredRecord, AlarmEvent>;
  using Clock = std::chrono::steady_clock;
  using Task = std::packaged_task<void(History*)>;

  void run();
  // Writes a batch from the front of the queue.
  void write_batch();
  bool ensure_open();
  void prune_some();
  void failed(const HistoryError& error);
  void push(Item item);
  // Runs `job` on the writer's thread (on the caller's once it ended);
  // false when it was not done within `timeout`.
  bool ask(std::function<void(History*)> job, std::chrono::milliseconds timeout);
  // Items of the queue, oldest first, under the lock.
  void for_each_queued(const std::function<void(const Item&)>& visit) const;

  const std::string path_;
  const config::HistoryOptions options_;
  std::unique_ptr<History> db_;  // the writer's thread's (the caller's before and after)

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable wake_;
  std::deque<Item> queue_;
  size_t in_flight_ = 0;  // items at the front being written: never dropped
  std::deque<std::shared_ptr<Task>> jobs_;
  state::HistoryState state_;
  bool running_ = false;
  bool stopping_ = false;
  bool dropping_ = false;  // within a run of overflows (logged once)
  bool refusing_ = false;  // within a run of refused rows (logged once)
  Clock::time_point give_up_at_;
  Clock::time_point retry_at_;
  std::chrono::milliseconds retry_delay_{0};
  Clock::time_point prune_at_;
  Clock::time_point failing_since_;
  Clock::time_point reminded_at_;
  std::thread thread_;
};

}  // namespace gw::history
