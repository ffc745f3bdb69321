// The gateway's history: an SQLite database of the records that devices
// store (SaveDeviceHistory) and of the alarm events of the check service.
//
//   history(id, device, data_id, time, record, reload)
//   alarm_events(id, time, device, signal_id, level, state, title, detail)
//
// `device` is the unit's name, `time` local time "YYYY-MM-DD HH:MM:SS",
// `record` the device's bytes, `reload` 1 for the record that the end of
// round of a reload stores (an earlier record put back in place at start,
// not a reading), `state` "raised" or "cleared". Files of the schema before
// `reload` gain the column when opened.
//
// A connection is used by one thread at a time (the history writer's).
// Errors throw HistoryError with SQLite's result code, naming the file.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace gw::history {

class HistoryError : public std::runtime_error {
 public:
  HistoryError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  // SQLite's primary result code (SQLITE_BUSY, SQLITE_FULL, ...).
  int code() const { return code_; }

 private:
  int code_;
};

// What an error means for what failed with it.
enum class HistoryFault {
  kWait,     // the file is locked, full or failing: try again later
  kDamaged,  // the file is damaged: set it aside and start a new one
  kRefused,  // this row cannot go in (a constraint): trying again will not help
};
HistoryFault fault_of(const HistoryError& error);

struct StoredRecord {
  std::string device;
  int data_id = 0;
  std::string time;
  std::string bytes;
  bool reload = false;
};

struct AlarmEvent {
  std::string time;
  std::string device;
  std::string signal_id;
  int level = 0;
  bool raised = false;  // false: cleared
  std::string title;
  std::string detail;
  // A limit alarm's measured value and the limit it was compared with, °C
  // or %, as the round that raised or cleared it read them. Not stored: an
  // alarm restored from the history has neither.
  std::optional<double> value;
  std::optional<double> limit;
};

// What a bus's thread hands on while it polls: records and alarm events.
// Never blocks and never throws (the history writer queues them).
class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  virtual void save_record(StoredRecord record) = 0;
  virtual void save_event(const AlarmEvent& event) = 0;
};

struct HistorySetup {
  bool synchronous_full = true;  // FULL: a committed row survives a power loss
  int max_mb = 0;                // the most the database may hold; 0: no limit
};

class History {
 public:
  // Opens the database, checks it (PRAGMA quick_check), creates or
  // migrates its tables. A damaged file (quick_check finds faults, or it
  // is not a database) is renamed aside to PATH.damaged-YYYYMMDD-HHMMSS,
  // kept, logged as an error, and a new one started.
  History(const std::string& path, const HistorySetup& setup);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  const std::string& path() const { return path_; }

  void begin();  // a write transaction
  void commit();
  void rollback();  // harmless outside a transaction

  void insert_record(const StoredRecord& record);
  void insert_event(const AlarmEvent& event);

  // The bytes of the newest record of the device with this data id that is
  // a reading (not a reload's), if it has any.
  std::optional<std::string> newest_record(const std::string& device, int data_id);
  // The device's readings with this data id.
  long record_count(const std::string& device, int data_id);
  // The device's signals whose newest event raised them: that event, by
  // signal id.
  std::vector<AlarmEvent> raised_alarms(const std::string& device);

  // Deletes up to `batch` of the oldest records older than `cutoff` (a time
  // text as above), and likewise alarm events, but for each signal's newest
  // (it keeps the alarm's state); returns the rows deleted.
  int prune(const std::string& cutoff, int batch);

 private:
  void open(const HistorySetup& setup);
  // Whether the file's check finds it whole; throws on a lock or I/O error.
  bool checks_whole(std::string& problem);
  void close();
  [[noreturn]] void fail(const std::string& what) const;
  void execute(const char* sql, const char* what);
  sqlite3_stmt* prepare(const std::string& sql);
  void step_done(sqlite3_stmt* statement, const char* what);

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_record_ = nullptr;
  sqlite3_stmt* insert_event_ = nullptr;
};

}  // namespace gw::history
