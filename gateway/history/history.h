// The gateway's history: an SQLite database of the records that devices
// store (SaveDeviceHistory) and of the alarm events of the check service.
//
//   history(id, device, data_id, time, record)   record: the device's bytes
//   alarm_events(id, time, device, signal_id, level, state, title, detail)
//
// `device` is the unit's name, `time` local time "YYYY-MM-DD HH:MM:SS",
// `state` "raised" or "cleared". Every write is one statement, so a failed
// write leaves nothing behind. Errors throw HistoryError naming the file.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace gw {

class HistoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AlarmEvent {
  std::string time;
  std::string device;
  std::string signal_id;
  int level = 0;
  bool raised = false;  // false: cleared
  std::string title;
  std::string detail;
};

// What a bus's thread writes while it polls: records and alarm events.
// Kept this narrow so that the writes can move behind a queue.
class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  virtual void save_record(const std::string& device, int data_id, const std::string& time,
                           const void* record, int length) = 0;
  virtual void save_event(const AlarmEvent& event) = 0;
};

class History : public HistoryStore {
 public:
  // Opens or creates the database and its tables.
  explicit History(const std::string& path);
  ~History() override;
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  void save_record(const std::string& device, int data_id, const std::string& time,
                   const void* record, int length) override;
  // The bytes of the device's newest record, if it has any.
  std::optional<std::string> newest_record(const std::string& device);
  long record_count(const std::string& device);

  void save_event(const AlarmEvent& event) override;
  // The device's signals whose newest event raised them: that event, by
  // signal id.
  std::vector<AlarmEvent> raised_alarms(const std::string& device);

 private:
  [[noreturn]] void fail(const std::string& what) const;
  void execute(const char* sql);
  sqlite3_stmt* prepare(const char* sql);
  void bind_text(sqlite3_stmt* statement, int index, const std::string& text);
  void step_done(sqlite3_stmt* statement, const char* what);

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_record_ = nullptr;
  sqlite3_stmt* insert_event_ = nullptr;
};

}  // namespace gw
