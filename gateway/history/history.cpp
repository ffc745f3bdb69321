#include "gateway/history/history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "gateway/base/log.h"
#include "gateway/history/schema.h"

namespace gw::history {
namespace {

namespace r = schema::records;
namespace e = schema::events;
using std::string_literals::operator""s;

constexpr mode_t kFileMode = 0640;   // the gateway's group may read the history, nobody else
constexpr int kBusyTimeoutMs = 200;  // the writer tries again itself, with a back-off
constexpr long kWalLimitBytes = 4L << 20;

struct Finalize {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

void bind_text(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string column_text(sqlite3_stmt* statement, int column) {
  const auto* bytes = sqlite3_column_text(statement, column);
  return bytes == nullptr ? std::string() : reinterpret_cast<const char*>(bytes);
}

// "20240501-120000", local time.
std::string stamp_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

// Renames the damaged file (and its journal files, which belong to it)
// aside; returns the new name.
std::string set_aside(const std::string& path) {
  std::string aside = path + ".damaged-" + stamp_now();
  for (int n = 2; std::FILE* taken = std::fopen(aside.c_str(), "r"); ++n) {
    std::fclose(taken);
    aside = path + ".damaged-" + stamp_now() + "-" + std::to_string(n);
  }
  if (std::rename(path.c_str(), aside.c_str()) != 0)
    throw HistoryError("history database " + path + " is damaged and cannot be renamed aside",
                       SQLITE_CANTOPEN);
  for (const char* suffix : {"-wal", "-shm"})
    std::rename((path + suffix).c_str(), (aside + suffix).c_str());
  return aside;
}

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw HistoryError("history database " + path + ": cannot open: " + why, SQLITE_CANTOPEN);
}

// The history is a regular file, or a name not yet taken in a folder that
// the gateway may write to: SQLite would open a device or a FIFO all the
// same, lose every record and leave its journal beside it.
void check_path(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    if (S_ISREG(status.st_mode)) return;
    refuse(path, std::string(kind_of(status.st_mode)) +
                     ", not a file: the history needs a file of its own");
  }
  if (errno != ENOENT) refuse(path, std::strerror(errno));
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    refuse(path, "there is no folder " + folder);
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    refuse(path, "the folder " + folder + " is not writable");
}

// Makes the file, empty, mode 0640 whatever the umask; SQLite gives its WAL
// and shared-memory files the mode of the database. A file that exists
// keeps the mode that it has.
void create_file(const std::string& path) {
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return;  // there already, or not to be made: SQLite says why
  ::fchmod(fd, kFileMode);
  ::close(fd);
}

}  // namespace

HistoryFault fault_of(const HistoryError& error) {
  switch (error.code()) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return HistoryFault::kDamaged;
    case SQLITE_CONSTRAINT:
    case SQLITE_TOOBIG:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
      return HistoryFault::kRefused;
    default:  // busy, locked, full, I/O, cannot open, read-only, ...
      return HistoryFault::kWait;
  }
}

History::History(const std::string& path, const HistorySetup& setup) : path_(path) {
  try {
    open(setup);
  } catch (...) {
    close();
    throw;
  }
}

History::~History() { close(); }

void History::close() {
  sqlite3_finalize(insert_record_);
  sqlite3_finalize(insert_event_);
  insert_record_ = insert_event_ = nullptr;
  sqlite3_close(db_);
  db_ = nullptr;
}

void History::open(const HistorySetup& setup) {
  for (int attempt = 0;; ++attempt) {
    check_path(path_);
    create_file(path_);
    const int opened =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
      const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
      throw HistoryError("history database " + path_ + ": cannot open: " + reason, opened);
    }
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    std::string problem;
    if (checks_whole(problem)) break;
    close();
    if (attempt > 0)
      throw HistoryError("history database " + path_ + ": " + problem, SQLITE_CORRUPT);
    const std::string aside = set_aside(path_);
    base::log::error("history database " + path_ + " is damaged (" + problem + "): renamed to " +
                     aside + " and kept; a new history starts");
  }
  // The write-ahead log: a reader never blocks the writer. FULL syncs the
  // log at every commit, so that a committed round survives a power loss
  // (NORMAL may lose the last ones, never the file). The history is only
  // appended to, so a small page cache (256 KiB) serves as well as the
  // default 2 MiB and keeps the gateway's memory flat; the log is cut back
  // to 4 MiB after each checkpoint, so that it does not hold flash.
  execute("PRAGMA journal_mode = WAL", "cannot set up");
  execute(setup.synchronous_full ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL",
          "cannot set up");
  execute(
      ("PRAGMA cache_size = -256; PRAGMA journal_size_limit = " + std::to_string(kWalLimitBytes))
          .c_str(),
      "cannot set up");
  if (setup.max_mb > 0) {
    const long pages = (static_cast<long>(setup.max_mb) << 20) / 4096;
    execute(("PRAGMA max_page_count = " + std::to_string(pages)).c_str(), "cannot set up");
  }
  begin();
  try {
    execute(schema::create_statements().c_str(), "cannot set up");
    Statement columns(prepare("SELECT count(*) FROM pragma_table_info('"s + r::kTable +
                              "') WHERE name = '" + r::kReload + "'"));
    if (sqlite3_step(columns.get()) == SQLITE_ROW && sqlite3_column_int(columns.get(), 0) == 0)
      execute(("ALTER TABLE "s + r::kTable + " ADD COLUMN " + r::kReload +
               " INTEGER NOT NULL DEFAULT 0")
                  .c_str(),
              "cannot add the reload column");
    commit();
  } catch (...) {
    rollback();
    throw;
  }
  insert_record_ =
      prepare("INSERT INTO "s + r::kTable + " (" +
              schema::columns({r::kDevice, r::kDataId, r::kTime, r::kRecord, r::kReload}) +
              ") VALUES (?, ?, ?, ?, ?)");
  insert_event_ = prepare("INSERT INTO "s + e::kTable + " (" +
                          schema::columns({e::kTime, e::kDevice, e::kSignalId, e::kLevel, e::kState,
                                           e::kTitle, e::kDetail}) +
                          ") VALUES (?, ?, ?, ?, ?, ?, ?)");
}

bool History::checks_whole(std::string& problem) {
  sqlite3_stmt* raw = nullptr;
  int result = sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &raw, nullptr);
  Statement check(raw);
  std::string first;
  if (result == SQLITE_OK) {
    result = sqlite3_step(check.get());
    if (result == SQLITE_ROW) first = column_text(check.get(), 0);
  }
  if (result == SQLITE_ROW && first == "ok") return true;
  if (result == SQLITE_ROW) {
    problem = "quick_check: " + first;
    return false;
  }
  const HistoryError error("history database " + path_ + ": cannot open: " + sqlite3_errmsg(db_),
                           result);
  if (fault_of(error) != HistoryFault::kDamaged) throw error;
  problem = sqlite3_errmsg(db_);
  return false;
}

void History::fail(const std::string& what) const {
  throw HistoryError("history database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_),
                     sqlite3_errcode(db_));
}

void History::execute(const char* sql, const char* what) {
  char* message = nullptr;
  const int result = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (result == SQLITE_OK) return;
  const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  throw HistoryError("history database " + path_ + ": " + what + ": " + reason, result);
}

sqlite3_stmt* History::prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    fail("cannot prepare");
  return statement;
}

void History::step_done(sqlite3_stmt* statement, const char* what) {
  const int result = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (result != SQLITE_DONE) fail(what);
}

void History::begin() { execute("BEGIN IMMEDIATE", "cannot store"); }
void History::commit() { execute("COMMIT", "cannot store"); }
void History::rollback() { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

void History::insert_record(const StoredRecord& record) {
  bind_text(insert_record_, 1, record.device);
  sqlite3_bind_int(insert_record_, 2, record.data_id);
  bind_text(insert_record_, 3, record.time);
  sqlite3_bind_blob(insert_record_, 4, record.bytes.data(), static_cast<int>(record.bytes.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_int(insert_record_, 5, record.reload ? 1 : 0);
  step_done(insert_record_, "cannot store a record");
}

void History::insert_event(const AlarmEvent& event) {
  bind_text(insert_event_, 1, event.time);
  bind_text(insert_event_, 2, event.device);
  bind_text(insert_event_, 3, event.signal_id);
  sqlite3_bind_int(insert_event_, 4, event.level);
  bind_text(insert_event_, 5, event.raised ? e::kRaised : e::kCleared);
  bind_text(insert_event_, 6, event.title);
  bind_text(insert_event_, 7, event.detail);
  step_done(insert_event_, "cannot store an alarm event");
}

std::optional<std::string> History::newest_record(const std::string& device, int data_id) {
  Statement query(prepare("SELECT "s + r::kRecord + " FROM " + r::kTable + " WHERE " + r::kDevice +
                          " = ? AND " + r::kDataId + " = ? AND " + r::kReload + " = 0 ORDER BY " +
                          r::kId + " DESC LIMIT 1"));
  bind_text(query.get(), 1, device);
  sqlite3_bind_int(query.get(), 2, data_id);
  const int result = sqlite3_step(query.get());
  if (result == SQLITE_DONE) return std::nullopt;
  if (result != SQLITE_ROW) fail("cannot read the newest record");
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.get(), 0));
  return std::string(bytes == nullptr ? "" : bytes,
                     static_cast<size_t>(sqlite3_column_bytes(query.get(), 0)));
}

long History::record_count(const std::string& device, int data_id) {
  Statement query(prepare("SELECT count(*) FROM "s + r::kTable + " WHERE " + r::kDevice +
                          " = ? AND " + r::kDataId + " = ? AND " + r::kReload + " = 0"));
  bind_text(query.get(), 1, device);
  sqlite3_bind_int(query.get(), 2, data_id);
  if (sqlite3_step(query.get()) != SQLITE_ROW) fail("cannot count records");
  return static_cast<long>(sqlite3_column_int64(query.get(), 0));
}

std::vector<AlarmEvent> History::raised_alarms(const std::string& device) {
  Statement query(prepare(
      "SELECT "s + schema::columns({e::kTime, e::kSignalId, e::kLevel, e::kTitle, e::kDetail}) +
      " FROM " + e::kTable + " AS e WHERE " + e::kDevice + " = ?1 AND " + e::kState + " = '" +
      e::kRaised + "' AND " + e::kId + " = (SELECT max(" + e::kId + ") FROM " + e::kTable +
      " WHERE " + e::kDevice + " = ?1 AND " + e::kSignalId + " = e." + e::kSignalId +
      ") ORDER BY " + e::kSignalId));
  bind_text(query.get(), 1, device);
  std::vector<AlarmEvent> events;
  int result;
  while ((result = sqlite3_step(query.get())) == SQLITE_ROW)
    events.push_back({column_text(query.get(), 0), device, column_text(query.get(), 1),
                      sqlite3_column_int(query.get(), 2), true, column_text(query.get(), 3),
                      column_text(query.get(), 4), std::nullopt, std::nullopt});
  if (result != SQLITE_DONE) fail("cannot read the alarm events");
  return events;
}

int History::prune(const std::string& cutoff, int batch) {
  // Rows go in in time order, so the oldest by id are the ones to look at:
  // a batch never scans the table.
  Statement records(prepare("DELETE FROM "s + r::kTable + " WHERE " + r::kId + " IN (SELECT " +
                            r::kId + " FROM (SELECT " + r::kId + ", " + r::kTime + " FROM " +
                            r::kTable + " ORDER BY " + r::kId + " LIMIT ?2) WHERE " + r::kTime +
                            " < ?1)"));
  // An alarm's newest event stays, however old: it is the alarm's state.
  Statement events(prepare(
      "DELETE FROM "s + e::kTable + " WHERE " + e::kId + " IN (SELECT " + e::kId +
      " FROM (SELECT " + schema::columns({e::kId, e::kTime, e::kDevice, e::kSignalId}) + " FROM " +
      e::kTable + " ORDER BY " + e::kId + " LIMIT ?2) AS e WHERE " + e::kTime + " < ?1 AND " +
      e::kId + " < (SELECT max(" + e::kId + ") FROM " + e::kTable + " WHERE " + e::kDevice +
      " = e." + e::kDevice + " AND " + e::kSignalId + " = e." + e::kSignalId + "))"));
  int deleted = 0;
  for (sqlite3_stmt* statement : {records.get(), events.get()}) {
    bind_text(statement, 1, cutoff);
    sqlite3_bind_int(statement, 2, batch);
    if (sqlite3_step(statement) != SQLITE_DONE) fail("cannot prune");
    deleted += sqlite3_changes(db_);
  }
  return deleted;
}

}  // namespace gw::history
