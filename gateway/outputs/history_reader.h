// Reading the gateway's history file for export: a read-only SQLite
// connection and its rows, one at a time, so that a file of any size is
// read in flat memory. The gateway may go on writing meanwhile (the file
// is in WAL mode, so a reader never blocks it).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace gw::outputs {

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

}  // namespace gw::outputs
