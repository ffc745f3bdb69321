#include "gateway/history/history.h"

#include <sqlite3.h>

#include <memory>

namespace gw {
namespace {

constexpr const char kSchema[] =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS history ("
    "  id INTEGER PRIMARY KEY,"
    "  device TEXT NOT NULL,"
    "  data_id INTEGER NOT NULL,"
    "  time TEXT NOT NULL,"
    "  record BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history (device, id);"
    "CREATE TABLE IF NOT EXISTS alarm_events ("
    "  id INTEGER PRIMARY KEY,"
    "  time TEXT NOT NULL,"
    "  device TEXT NOT NULL,"
    "  signal_id TEXT NOT NULL,"
    "  level INTEGER NOT NULL,"
    "  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),"
    "  title TEXT NOT NULL,"
    "  detail TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS alarm_events_by_device ON alarm_events (device, signal_id, id);"
    "COMMIT;";

struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

}  // namespace

History::History(const std::string& path) : path_(path) {
  const int opened =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (opened != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
    sqlite3_close(db_);
    throw HistoryError("history database " + path + ": cannot open: " + reason);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    // The write-ahead log with NORMAL sync keeps a round's insert cheap; a
    // crash may lose the last records but never corrupts the database. The
    // history is only appended to, so a small page cache (256 KiB instead
    // of 2 MiB) serves as well and keeps the gateway's memory flat.
    execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -256;");
    execute(kSchema);
    insert_record_ =
        prepare("INSERT INTO history (device, data_id, time, record) VALUES (?, ?, ?, ?)");
    insert_event_ = prepare(
        "INSERT INTO alarm_events (time, device, signal_id, level, state, title, detail)"
        " VALUES (?, ?, ?, ?, ?, ?, ?)");
  } catch (...) {
    sqlite3_finalize(insert_record_);
    sqlite3_close(db_);
    throw;
  }
}

History::~History() {
  sqlite3_finalize(insert_record_);
  sqlite3_finalize(insert_event_);
  sqlite3_close(db_);
}

void History::fail(const std::string& what) const {
  throw HistoryError("history database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void History::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return;
  const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // harmless outside a transaction
  throw HistoryError("history database " + path_ + ": cannot set up: " + reason);
}

sqlite3_stmt* History::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) fail("cannot prepare");
  return statement;
}

void History::bind_text(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void History::step_done(sqlite3_stmt* statement, const char* what) {
  const int result = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (result != SQLITE_DONE) fail(what);
}

void History::save_record(const std::string& device, int data_id, const std::string& time,
                          const void* record, int length) {
  bind_text(insert_record_, 1, device);
  sqlite3_bind_int(insert_record_, 2, data_id);
  bind_text(insert_record_, 3, time);
  sqlite3_bind_blob(insert_record_, 4, record, length, SQLITE_TRANSIENT);
  step_done(insert_record_, "cannot store a record");
}

std::optional<std::string> History::newest_record(const std::string& device) {
  Statement query(prepare("SELECT record FROM history WHERE device = ? ORDER BY id DESC LIMIT 1"));
  bind_text(query.get(), 1, device);
  const int result = sqlite3_step(query.get());
  if (result == SQLITE_DONE) return std::nullopt;
  if (result != SQLITE_ROW) fail("cannot read the newest record");
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.get(), 0));
  return std::string(bytes == nullptr ? "" : bytes,
                     static_cast<size_t>(sqlite3_column_bytes(query.get(), 0)));
}

long History::record_count(const std::string& device) {
  Statement query(prepare("SELECT count(*) FROM history WHERE device = ?"));
  bind_text(query.get(), 1, device);
  if (sqlite3_step(query.get()) != SQLITE_ROW) fail("cannot count records");
  return static_cast<long>(sqlite3_column_int64(query.get(), 0));
}

void History::save_event(const AlarmEvent& event) {
  bind_text(insert_event_, 1, event.time);
  bind_text(insert_event_, 2, event.device);
  bind_text(insert_event_, 3, event.signal_id);
  sqlite3_bind_int(insert_event_, 4, event.level);
  bind_text(insert_event_, 5, event.raised ? "raised" : "cleared");
  bind_text(insert_event_, 6, event.title);
  bind_text(insert_event_, 7, event.detail);
  step_done(insert_event_, "cannot store an alarm event");
}

std::vector<AlarmEvent> History::raised_alarms(const std::string& device) {
  Statement query(
      prepare("SELECT time, signal_id, level, title, detail FROM alarm_events AS e"
              " WHERE device = ?1 AND state = 'raised'"
              " AND id = (SELECT max(id) FROM alarm_events"
              "           WHERE device = ?1 AND signal_id = e.signal_id) ORDER BY signal_id"));
  bind_text(query.get(), 1, device);
  auto text = [&](int column) {
    const auto* bytes = sqlite3_column_text(query.get(), column);
    return std::string(bytes == nullptr ? "" : reinterpret_cast<const char*>(bytes));
  };
  std::vector<AlarmEvent> events;
  int result;
  while ((result = sqlite3_step(query.get())) == SQLITE_ROW)
    events.push_back(
        {text(0), device, text(1), sqlite3_column_int(query.get(), 2), true, text(3), text(4)});
  if (result != SQLITE_DONE) fail("cannot read the alarm events");
  return events;
}

}  // namespace gw
