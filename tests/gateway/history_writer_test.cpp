// The history's writer in process: what its queue keeps when it overflows,
// and what a read answers while records still wait.
#include <sqlite3.h>

#include <thread>

#include <gtest/gtest.h>

#include "gateway/history/history_writer.h"
#include "tests/support/process.h"

namespace {

using std::chrono::milliseconds;

gw::history::AlarmEvent event(const std::string& signal_id, bool raised) {
  return {"2024-01-01 00:00:00", "ac1", signal_id, 3, raised, "t", "d", std::nullopt, std::nullopt};
}

gw::history::StoredRecord record(const std::string& bytes) {
  return {"ac1", 101, "2024-01-01 00:00:00", bytes, false};
}

// The rows of one text column, in id order.
std::vector<std::string> column(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
    while (sqlite3_step(statement) == SQLITE_ROW)
      rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_blob(statement, 0)),
                        static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

TEST(HistoryWriter, AFullQueueGivesWayOldestRecordFirstAlarmEventsLastAndKeepsTheOrder) {
  testproc::TempDir dir;
  gw::config::HistoryOptions options;
  options.queue = 4;
  options.keep_days = 0;  // the rows' times are long past
  gw::history::HistoryWriter writer(dir.file("history.db"), options);
  // Before the thread starts, as while the file cannot be written: the
  // queue alone decides.
  writer.save_event(event("a", true));
  writer.save_record(record("r1"));
  writer.save_record(record("r2"));
  writer.save_event(event("a", false));
  writer.save_record(record("r3"));     // r1 gives way
  writer.save_event(event("b", true));  // r2
  writer.save_event(event("c", true));  // r3
  writer.save_event(event("d", true));  // no record left: the first event
  gw::state::HistoryState state = writer.state();
  EXPECT_EQ(state.records_lost, 3);
  EXPECT_EQ(state.events_lost, 1);
  EXPECT_EQ(state.queued_events, 4);

  writer.start();
  writer.finish(milliseconds(5000));
  state = writer.state();
  EXPECT_EQ(state.queued_events + state.queued_records, 0);
  EXPECT_EQ(state.events_written, 4);
  const std::vector<std::string> stored = column(
      dir.file("history.db"), "SELECT signal_id || ' ' || state FROM alarm_events ORDER BY id");
  EXPECT_EQ(stored, (std::vector<std::string>{"a cleared", "b raised", "c raised", "d raised"}));
  EXPECT_TRUE(column(dir.file("history.db"), "SELECT record FROM history").empty());
}

TEST(HistoryWriter, ReadsCountWhatStillWaitsInTheQueue) {
  testproc::TempDir dir;
  gw::config::HistoryOptions options;
  options.keep_days = 0;  // the rows' times are long past
  gw::history::HistoryWriter writer(dir.file("history.db"), options);
  writer.start();
  // Written by two threads at once, read by a third meanwhile.
  std::vector<std::thread> writers;
  for (int thread = 0; thread < 2; ++thread)
    writers.emplace_back([&, thread] {
      for (int i = 0; i < 50; ++i) writer.save_record(record(std::to_string(thread * 100 + i)));
    });
  const auto early = writer.record_count("ac1", 101, milliseconds(5000));
  for (std::thread& thread : writers) thread.join();
  writer.save_event(event("a", true));
  ASSERT_TRUE(early);
  EXPECT_LE(*early, 100);
  EXPECT_EQ(writer.record_count("ac1", 101, milliseconds(5000)), 100);
  const auto raised = writer.raised_alarms("ac1", milliseconds(5000));
  ASSERT_TRUE(raised);
  ASSERT_EQ(raised->size(), 1u);
  EXPECT_EQ(raised->front().signal_id, "a");
  const auto newest = writer.newest_record("ac1", 101, milliseconds(5000));
  ASSERT_TRUE(newest && *newest);
  EXPECT_TRUE(**newest == "49" || **newest == "149") << **newest;
}

}  // namespace
