// Reading the gateway's history file for export: a read-only SQLite
// connection and its rows, one at a time, so that a file of any size is
// read in flat memory. The gateway may go on writing meanwhile (the file
// is in WAL mode, so a reader never blocks it).
#pragma once

#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace gw::history {

// A history file that cannot be opened or read; the message names the file.
class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HistoryFile {
 public:
  explicit HistoryFile(const std::string& path);
  ~HistoryFile();
  HistoryFile(const HistoryFile&) = delete;
  HistoryFile& operator=(const HistoryFile&) = delete;

  // Whether `table` exists and has a column of that name.
  bool has_column(const std::string& table, const std::string& column);

  [[noreturn]] void fail(const std::string& what) const;
  sqlite3* handle() const { return db_; }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

// The rows of one query, stepped through in order.
class Rows {
 public:
  Rows(HistoryFile& file, const std::string& sql);
  ~Rows();
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  void bind(int index, const std::string& text);
  // Moves to the next row; false after the last.
  bool next();
  // Columns of the current row, from 0. Views stay valid until next().
  std::string_view text(int column) const;
  std::string_view blob(int column) const;
  long long integer(int column) const;

 private:
  HistoryFile& file_;
  sqlite3_stmt* statement_ = nullptr;
};

// The records of a period, found through the index by unit and time. The
// stored times are local wall-clock texts of the gateway's time zone, read
// back in that zone; they run back where its clocks were set back (the
// hour that the end of summer time repeats, 2 h at most), so the window is
// 3 h wider each side and the caller places each row by its parsed time.
class TimeWindow {
 public:
  TimeWindow(std::optional<std::time_t> since, std::optional<std::time_t> until);
  // " AND time >= ?2 AND time < ?3", or the part of it that applies.
  std::string condition() const;
  // Binds the window's parameters (2 and 3).
  void bind(Rows& rows) const;

 private:
  std::optional<std::string> from_, to_;
};

}  // namespace gw::history
