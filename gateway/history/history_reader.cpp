#include "gateway/history/history_reader.h"

#include "gateway/history/schema.h"

#include <sqlite3.h>

#include <limits>

#include "gateway/readings/local_time.h"

namespace gw::history {

HistoryFile::HistoryFile(const std::string& path) : path_(path) {
  const int opened = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
  if (opened != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
    sqlite3_close(db_);
    throw ExportError("history database " + path + ": cannot open: " + reason);
  }
  // Wait out a writer's lock rather than fail; keep the page cache small
  // (256 KiB): every page is read once, in order.
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_exec(db_, "PRAGMA cache_size = -256", nullptr, nullptr, nullptr);
}

HistoryFile::~HistoryFile() { sqlite3_close(db_); }

void HistoryFile::fail(const std::string& what) const {
  throw ExportError("history database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

bool HistoryFile::has_column(const std::string& table, const std::string& column) {
  Rows columns(*this, "SELECT name FROM pragma_table_info(?1)");
  columns.bind(1, table);
  while (columns.next())
    if (columns.text(0) == column) return true;
  return false;
}

Rows::Rows(HistoryFile& file, const std::string& sql) : file_(file) {
  if (sqlite3_prepare_v2(file.handle(), sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
    file.fail("cannot read");
}

Rows::~Rows() { sqlite3_finalize(statement_); }

void Rows::bind(int index, const std::string& text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                    SQLITE_TRANSIENT);
}

bool Rows::next() {
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result != SQLITE_DONE) file_.fail("cannot read");
  return false;
}

std::string_view Rows::text(int column) const {
  const auto* bytes = sqlite3_column_text(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes == nullptr ? std::string_view()
                          : std::string_view(reinterpret_cast<const char*>(bytes), size);
}

std::string_view Rows::blob(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes == nullptr ? std::string_view()
                          : std::string_view(static_cast<const char*>(bytes), size);
}

long long Rows::integer(int column) const { return sqlite3_column_int64(statement_, column); }

namespace {
constexpr std::time_t kWindowMarginS = 3 * 3600;
}  // namespace

TimeWindow::TimeWindow(std::optional<std::time_t> since, std::optional<std::time_t> until) {
  if (since && *since > kWindowMarginS) from_ = readings::history_time(*since - kWindowMarginS);
  if (until && *until < std::numeric_limits<std::time_t>::max() - kWindowMarginS)
    to_ = readings::history_time(*until + kWindowMarginS);
}

std::string TimeWindow::condition() const {
  const std::string time = schema::records::kTime;  // the events' time column too
  return (from_ ? " AND " + time + " >= ?2" : "") + (to_ ? " AND " + time + " < ?3" : "");
}

void TimeWindow::bind(Rows& rows) const {
  if (from_) rows.bind(2, *from_);
  if (to_) rows.bind(3, *to_);
}

}  // namespace gw::history
