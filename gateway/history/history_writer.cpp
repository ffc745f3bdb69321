#include "gateway/history/history_writer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "gateway/base/log.h"

namespace gw::history {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr size_t kBatch = 256;            // items a transaction
constexpr int kPruneBatch = 500;          // rows a prune step deletes
constexpr milliseconds kFirstRetry{100};  // after a failed write, doubling
constexpr milliseconds kLongestRetry{5000};
constexpr seconds kRemindEvery{60};  // of a history that stays unwritable
constexpr seconds kLongestPruneCadence{60};

// The local time `days` ago, as the history's time column holds it.
std::string time_text_days_ago(double days) {
  const std::time_t then =
      std::time(nullptr) - static_cast<std::time_t>(std::llround(days * 86400));
  std::tm local{};
  localtime_r(&then, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// A file that cannot be opened at start for a reason that waiting does not
// mend: a mistake in the configuration, named at once.
bool cannot_open_for_good(const HistoryError& error) {
  return error.code() == SQLITE_CANTOPEN || error.code() == SQLITE_PERM ||
         error.code() == SQLITE_AUTH || error.code() == SQLITE_READONLY;
}

// Errors after which the connection is opened again (and the file checked).
bool needs_reopening(const HistoryError& error) {
  return fault_of(error) == HistoryFault::kDamaged || error.code() == SQLITE_IOERR ||
         error.code() == SQLITE_CANTOPEN || error.code() == SQLITE_ERROR ||
         error.code() == SQLITE_SCHEMA;
}

}  // namespace

HistoryWriter::HistoryWriter(std::string path, const config::HistoryOptions& options)
    : path_(std::move(path)), options_(options) {
  state_.path = path_;
}

HistoryWriter::~HistoryWriter() { finish(milliseconds(0)); }

void HistoryWriter::start() {
  try {
    db_ =
        std::make_unique<History>(path_, HistorySetup{options_.synchronous_full, options_.max_mb});
  } catch (const HistoryError& error) {
    if (cannot_open_for_good(error)) throw;
    failed(error);  // opened by the thread when it can be
  }
  prune_at_ = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = true;
  thread_ = std::thread([this] { run(); });
}

void HistoryWriter::save_record(StoredRecord record) { push(std::move(record)); }

void HistoryWriter::save_event(const AlarmEvent& event) { push(event); }

void HistoryWriter::push(Item item) {
  std::string dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= static_cast<size_t>(options_.queue)) {
      // The oldest record gives way; an alarm event only when none is left.
      auto is_record = [](const Item& queued) { return queued.index() == 0; };
      auto oldest =
          std::find_if(queue_.begin() + static_cast<long>(in_flight_), queue_.end(), is_record);
      if (oldest == queue_.end()) oldest = queue_.begin() + static_cast<long>(in_flight_);
      if (oldest != queue_.end()) {
        ++(is_record(*oldest) ? state_.records_lost : state_.events_lost);
        --(is_record(*oldest) ? state_.queued_records : state_.queued_events);
        queue_.erase(oldest);
      }
      if (!dropping_)
        dropped = "history database " + path_ + ": the queue of " + std::to_string(options_.queue) +
                  " is full: the oldest records give way (counted lost), alarm events last";
      dropping_ = true;
    }
    ++(item.index() == 0 ? state_.queued_records : state_.queued_events);
    queue_.push_back(std::move(item));
  }
  wake_.notify_one();
  if (!dropped.empty()) base::log::warning(dropped);
}

void HistoryWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!jobs_.empty()) {
      const std::shared_ptr<Task> job = jobs_.front();
      jobs_.pop_front();
      lock.unlock();
      (*job)(db_.get());
      lock.lock();
    }
    const auto now = Clock::now();
    const bool waiting = !queue_.empty();
    if (stopping_ && (!waiting || now >= give_up_at_)) break;
    if (waiting && now >= retry_at_) {
      lock.unlock();
      write_batch();
      lock.lock();
      continue;
    }
    const bool prunes = options_.keep_days > 0 && !stopping_;
    if (!waiting && prunes && now >= prune_at_) {
      lock.unlock();
      prune_some();
      lock.lock();
      continue;
    }
    auto until = waiting ? retry_at_ : prunes ? prune_at_ : Clock::time_point::max();
    if (stopping_) until = std::min(until, give_up_at_);
    if (until == Clock::time_point::max())
      wake_.wait(lock);
    else
      wake_.wait_until(lock, until);
  }
  const long records = state_.queued_records, events = state_.queued_events;
  state_.records_lost += records;
  state_.events_lost += events;
  state_.queued_records = state_.queued_events = 0;
  queue_.clear();
  lock.unlock();
  if (records + events > 0)
    base::log::error("history database " + path_ + ": " + std::to_string(records) +
                     " records and " + std::to_string(events) +
                     " alarm events could not be written before the stop: lost");
}

bool HistoryWriter::ensure_open() {
  if (db_) return true;
  try {
    db_ =
        std::make_unique<History>(path_, HistorySetup{options_.synchronous_full, options_.max_mb});
    return true;
  } catch (const HistoryError& error) {
    failed(error);
    return false;
  }
}

void HistoryWriter::write_batch() {
  if (!ensure_open()) return;
  std::vector<Item> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    in_flight_ = std::min(queue_.size(), kBatch);
    batch.assign(queue_.begin(), queue_.begin() + static_cast<long>(in_flight_));
  }
  long refused_records = 0, refused_events = 0;
  try {
    db_->begin();
    for (const Item& item : batch) {
      try {
        if (const auto* record = std::get_if<StoredRecord>(&item))
          db_->insert_record(*record);
        else
          db_->insert_event(std::get<AlarmEvent>(item));
      } catch (const HistoryError& error) {
        if (fault_of(error) != HistoryFault::kRefused) throw;
        ++(item.index() == 0 ? refused_records : refused_events);
        if (!refusing_) base::log::error(std::string(error.what()) + "; left out (counted lost)");
        refusing_ = true;
      }
    }
    db_->commit();
  } catch (const HistoryError& error) {
    db_->rollback();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      in_flight_ = 0;
    }
    failed(error);
    return;
  }
  if (refused_records + refused_events == 0) refusing_ = false;
  std::string recovered;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    long records = 0;
    for (const Item& item : batch) records += item.index() == 0;
    const long events = static_cast<long>(batch.size()) - records;
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(batch.size()));
    in_flight_ = 0;
    state_.queued_records -= records;
    state_.queued_events -= events;
    state_.records_written += records - refused_records;
    state_.events_written += events - refused_events;
    state_.records_lost += refused_records;
    state_.events_lost += refused_events;
    if (!state_.writable) {
      const double after = std::chrono::duration<double>(Clock::now() - failing_since_).count();
      char took[32];
      std::snprintf(took, sizeof took, "%.1f s", after);
      recovered = "history database " + path_ + " written again after " + took + "; lost so far " +
                  std::to_string(state_.records_lost) + " records and " +
                  std::to_string(state_.events_lost) + " alarm events";
    }
    state_.writable = true;
    state_.error.clear();
    state_.failing_since.reset();
    dropping_ = false;
    retry_delay_ = milliseconds(0);
  }
  if (!recovered.empty()) base::log::notice(recovered);
}

void HistoryWriter::failed(const HistoryError& error) {
  if (needs_reopening(error)) db_.reset();
  std::string message;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    retry_delay_ =
        std::min(retry_delay_ == milliseconds(0) ? kFirstRetry : 2 * retry_delay_, kLongestRetry);
    retry_at_ = now + retry_delay_;
    if (state_.writable) {
      state_.writable = false;
      state_.failing_since = std::chrono::system_clock::now();
      failing_since_ = reminded_at_ = now;
      message = std::string(error.what()) +
                "; records and alarm events wait until it can be written (at most " +
                std::to_string(options_.queue) + ")";
    } else if (now - reminded_at_ >= kRemindEvery || state_.error != error.what()) {
      reminded_at_ = now;
      message = std::string(error.what()) +
                "; still not written: " + std::to_string(state_.queued_records) + " records and " +
                std::to_string(state_.queued_events) + " alarm events wait, " +
                std::to_string(state_.records_lost) + " records and " +
                std::to_string(state_.events_lost) + " events lost";
    }
    state_.error = error.what();
  }
  if (!message.empty()) base::log::error(message);
}

void HistoryWriter::prune_some() {
  const double cadence_s = std::clamp(options_.keep_days * 86400 / 8, 0.1,
                                      static_cast<double>(kLongestPruneCadence.count()));
  auto next = Clock::now() +
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cadence_s));
  if (db_) {
    try {
      // A full batch: more to prune, after what waits to be written.
      if (db_->prune(time_text_days_ago(options_.keep_days), kPruneBatch) >= kPruneBatch)
        next = Clock::now();
    } catch (const HistoryError& error) {
      if (fault_of(error) == HistoryFault::kDamaged) failed(error);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  prune_at_ = next;
}

void HistoryWriter::finish(milliseconds patience) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    stopping_ = true;
    give_up_at_ = Clock::now() + patience;
  }
  wake_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
}

state::HistoryState HistoryWriter::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool HistoryWriter::ask(std::function<void(History*)> job, milliseconds timeout) {
  auto task = std::make_shared<Task>(std::move(job));
  std::future<void> done = task->get_future();
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_) {
      lock.unlock();
      (*task)(db_.get());
      return true;
    }
    jobs_.push_back(task);
  }
  wake_.notify_all();
  return done.wait_for(timeout) == std::future_status::ready;
}

void HistoryWriter::for_each_queued(const std::function<void(const Item&)>& visit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Item& item : queue_) visit(item);
}

std::optional<std::optional<std::string>> HistoryWriter::newest_record(const std::string& device,
                                                                       int data_id,
                                                                       milliseconds timeout) {
  auto answer = std::make_shared<std::optional<std::optional<std::string>>>();
  const bool done = ask(
      [this, answer, device, data_id](History* db) {
        std::optional<std::string> queued;  // a record not yet written is the newest
        for_each_queued([&](const Item& item) {
          const auto* record = std::get_if<StoredRecord>(&item);
          if (record != nullptr && record->device == device && record->data_id == data_id &&
              !record->reload)
            queued = record->bytes;
        });
        if (queued) {
          *answer = queued;
        } else if (db != nullptr) {
          try {
            *answer = db->newest_record(device, data_id);
          } catch (const HistoryError&) {
          }
        }
      },
      timeout);
  return done ? *answer : std::nullopt;
}

std::optional<std::vector<AlarmEvent>> HistoryWriter::raised_alarms(const std::string& device,
                                                                    milliseconds timeout) {
  auto answer = std::make_shared<std::optional<std::vector<AlarmEvent>>>();
  const bool done = ask(
      [this, answer, device](History* db) {
        if (db == nullptr) return;
        std::vector<AlarmEvent> raised;
        try {
          raised = db->raised_alarms(device);
        } catch (const HistoryError&) {
          return;
        }
        for_each_queued([&](const Item& item) {
          const auto* event = std::get_if<AlarmEvent>(&item);
          if (event == nullptr || event->device != device) return;
          raised.erase(std::remove_if(raised.begin(), raised.end(),
                                      [&](const AlarmEvent& known) {
                                        return known.signal_id == event->signal_id;
                                      }),
                       raised.end());
          if (event->raised) raised.push_back(*event);
        });
        *answer = std::move(raised);
      },
      timeout);
  return done ? *answer : std::nullopt;
}

std::optional<long> HistoryWriter::record_count(const std::string& device, int data_id,
                                                milliseconds timeout) {
  auto answer = std::make_shared<std::optional<long>>();
  const bool done = ask(
      [this, answer, device, data_id](History* db) {
        if (db == nullptr) return;
        try {
          long count = db->record_count(device, data_id);
          for_each_queued([&](const Item& item) {
            const auto* record = std::get_if<StoredRecord>(&item);
            count += record != nullptr && record->device == device && record->data_id == data_id &&
                     !record->reload;
          });
          *answer = count;
        } catch (const HistoryError&) {
        }
      },
      timeout);
  return done ? *answer : std::nullopt;
}

}  // namespace gw::history
