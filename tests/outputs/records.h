// Records and history files for the outputs' tests: a record with chosen
// register words and stamp, and a history file of the gateway's schema
// (with or without the column that marks reload rows).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "driver/norvane_record.h"

namespace records {

// 121 bytes: `data_id`, the words of `registers` (others 0), the stamp.
inline std::string record(int32_t data_id, const std::map<int, uint16_t>& registers,
                          int year = 2024, int month = 3, int day = 5, int hour = 9, int minute = 7,
                          int second = 2) {
  std::string bytes(norvane::kRecordSize, '\0');
  const auto put_word = [&](int offset, unsigned word) {
    bytes[offset] = static_cast<char>(word & 0xFF);
    bytes[offset + 1] = static_cast<char>(word >> 8 & 0xFF);
  };
  put_word(0, static_cast<uint32_t>(data_id) & 0xFFFF);
  put_word(2, static_cast<uint32_t>(data_id) >> 16);
  for (const auto& [reg, word] : registers) put_word(norvane::record_offset_of_register(reg), word);
  put_word(114, static_cast<unsigned>(year));
  const int fields[] = {month, day, hour, minute, second};
  for (int i = 0; i < 5; ++i) bytes[116 + i] = static_cast<char>(fields[i]);
  return bytes;
}

// A test in the time zone UTC, whatever the machine's.
class InUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

// A history file with the gateway's tables, to fill with insert().
class HistoryFile {
 public:
  HistoryFile(const std::string& path, bool with_reload_column) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    execute(std::string("CREATE TABLE history (id INTEGER PRIMARY KEY, device TEXT NOT NULL,"
                        " data_id INTEGER NOT NULL, time TEXT NOT NULL, record BLOB NOT NULL") +
            (with_reload_column ? ", reload INTEGER NOT NULL DEFAULT 0" : "") + ");" +
            "CREATE INDEX history_by_device ON history (device, id);"
            "CREATE TABLE alarm_events (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
            " device TEXT NOT NULL, signal_id TEXT NOT NULL, level INTEGER NOT NULL,"
            " state TEXT NOT NULL, title TEXT NOT NULL, detail TEXT NOT NULL);");
    const char* sql = with_reload_column
                          ? "INSERT INTO history (device, data_id, time, record, reload)"
                            " VALUES (?1, 0, ?2, ?3, ?4)"
                          : "INSERT INTO history (device, data_id, time, record)"
                            " VALUES (?1, 0, ?2, ?3)";
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql, -1, &insert_, nullptr), SQLITE_OK);
  }
  ~HistoryFile() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }

  void insert(const std::string& unit, const std::string& time, const std::string& bytes,
              bool reload = false) {
    sqlite3_bind_text(insert_, 1, unit.data(), static_cast<int>(unit.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_, 2, time.data(), static_cast<int>(time.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_, 3, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    if (sqlite3_bind_parameter_count(insert_) == 4) sqlite3_bind_int(insert_, 4, reload ? 1 : 0);
    EXPECT_EQ(sqlite3_step(insert_), SQLITE_DONE) << sqlite3_errmsg(db_);
    sqlite3_reset(insert_);
  }

  void execute(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

}  // namespace records
