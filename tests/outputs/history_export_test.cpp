// The history export on history files of the gateway's schema: readings
// and alarm events as CSV and JSON Lines, by unit and time, reload rows,
// rows that cannot be read, and flat memory on a large file.
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <streambuf>

#include <gtest/gtest.h>
#include <json/json.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of the heap in use (g++ ships no header
// that declares it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "gateway/history/history_export.h"
#include "gateway/readings/local_time.h"
#include "gateway/readings/reading_table.h"
#include "tests/outputs/records.h"
#include "tests/support/process.h"

namespace {

using namespace gw::readings;
using namespace gw::history;

std::vector<std::string> lines_of(const std::string& text, const char* end = "\n") {
  std::vector<std::string> lines;
  const std::string separator = end;
  for (size_t start = 0, at; (at = text.find(separator, start)) != std::string::npos;
       start = at + separator.size())
    lines.push_back(text.substr(start, at - start));
  return lines;
}

class HistoryExport : public records::InUtc {
 protected:
  std::string run(ExportSummary (*what)(const std::string&, const ExportQuery&, std::ostream&),
                  const ExportQuery& query) {
    std::ostringstream out;
    summary = what(path, query, out);
    return out.str();
  }

  testproc::TempDir dir;
  std::string path = dir.file("history.db");
  ExportSummary summary;
};

TEST_F(HistoryExport, ReadingsOfOneUnitAsCsvWithHeaderQuotingAndCrLf) {
  {
    records::HistoryFile file(path, false);
    file.insert("ac1", "2024-03-05 09:07:02", records::record(101, {{1, 241}, {27, 1}}));
    file.insert("room \"B\", north", "2024-03-05 09:07:03", records::record(102, {{1, 250}}));
    file.insert("ac1", "2024-03-05 09:07:07", records::record(101, {{1, 242}, {31, 1}}));
  }
  gw::history::ExportQuery query;
  query.unit = "ac1";
  const auto lines = lines_of(run(gw::history::export_readings, query), "\r\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("time,unit,data_id,set_temperature_celsius,set_humidity_percent,", 0),
            0u)
      << lines[0];
  EXPECT_NE(lines[0].find(",indoor_fan_run_time_seconds,"), std::string::npos) << lines[0];
  EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), ','), 2 + kWordReadingCount);
  EXPECT_EQ(lines[1].rfind("2024-03-05T09:07:02+00:00,ac1,101,24.1,0.0,", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(",running,"), std::string::npos);
  EXPECT_NE(lines[2].find(",alarm,"), std::string::npos) << "water on the floor";
  EXPECT_EQ(summary.written, 2);

  query.unit.reset();
  const auto all = lines_of(run(gw::history::export_readings, query), "\r\n");
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2].rfind("2024-03-05T09:07:03+00:00,\"room \"\"B\"\", north\",102,25.0,", 0), 0u)
      << all[2];
}

TEST_F(HistoryExport, ReadingsAsJsonLinesWithinSinceAndUntil) {
  {
    records::HistoryFile file(path, false);
    for (int second = 0; second < 6; ++second)
      file.insert("ac1", "2024-03-05 09:07:0" + std::to_string(second),
                  records::record(101, {{23, static_cast<uint16_t>(500 + second)}}));
  }
  gw::history::ExportQuery query;
  query.format = ExportFormat::kJsonl;
  query.since = parse_time_argument("2024-03-05T09:07:02Z");
  query.until = parse_time_argument("2024-03-05T09:07:04Z");
  const auto lines = lines_of(run(gw::history::export_readings, query));
  ASSERT_EQ(lines.size(), 2u) << "since is in the range, until is not";
  for (size_t i = 0; i < lines.size(); ++i) {
    Json::Value row;
    ASSERT_TRUE(Json::Reader().parse(lines[i], row)) << lines[i];
    EXPECT_EQ(row["time"].asString(), "2024-03-05T09:07:0" + std::to_string(2 + i) + "+00:00");
    EXPECT_EQ(row["unit"].asString(), "ac1");
    EXPECT_EQ(row["data_id"].asInt(), 101);
    EXPECT_DOUBLE_EQ(row["readings"]["return_air_humidity"].asDouble(), 50.2 + 0.1 * i);
    EXPECT_FALSE(row.isMember("reload"));
  }
}

// The period is looked up by the stored local time, which repeats an hour
// when summer time ends: whatever the period, the export holds exactly the
// rows whose times lie in it.
TEST_F(HistoryExport, APeriodAcrossTheEndOfSummerTimeHoldsEveryRowOfIt) {
  setenv("TZ", "Europe/Berlin", 1);  // 2024-10-27 03:00 CEST is 02:00 CET
  tzset();
  constexpr std::time_t kStart = 1729980000;  // 2024-10-26T22:00:00Z
  {
    records::HistoryFile file(path, true);
    file.execute("CREATE INDEX history_by_device_time ON history (device, time); BEGIN");
    for (std::time_t at = kStart; at < kStart + 6 * 3600; at += 300)
      file.insert("ac1", *history_time(at), records::record(101, {}));
    file.execute("COMMIT");
  }
  gw::history::ExportQuery query;
  query.unit = "ac1";
  query.format = ExportFormat::kJsonl;
  std::vector<std::time_t> stored;
  for (const std::string& line : lines_of(run(gw::history::export_readings, query))) {
    Json::Value row;
    ASSERT_TRUE(Json::Reader().parse(line, row)) << line;
    stored.push_back(*parse_time_argument(row["time"].asString()));
  }
  ASSERT_EQ(stored.size(), 72u);
  for (std::time_t since = kStart + 3600; since < kStart + 5 * 3600; since += 600) {
    query.since = since;
    query.until = since + 1800;
    const long expected = std::count_if(stored.begin(), stored.end(), [&](std::time_t at) {
      return at >= *query.since && at < *query.until;
    });
    EXPECT_EQ(static_cast<long>(lines_of(run(gw::history::export_readings, query)).size()),
              expected)
        << "from " << iso8601_local(since);
  }
}

TEST_F(HistoryExport, ReloadRowsAreLeftOutOrMarkedAndOlderFilesHaveNone) {
  {
    records::HistoryFile file(path, true);
    file.insert("ac1", "2024-03-05 09:00:00", records::record(101, {{1, 240}}), true);
    file.insert("ac1", "2024-03-05 09:00:05", records::record(101, {{1, 241}}));
  }
  gw::history::ExportQuery query;
  query.format = ExportFormat::kJsonl;
  auto lines = lines_of(run(gw::history::export_readings, query));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"set_temperature\":24.1"), std::string::npos) << lines[0];
  EXPECT_EQ(summary.reloads_left_out, 1);

  query.include_reloads = true;
  lines = lines_of(run(gw::history::export_readings, query));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"reload\":true"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"reload\":false"), std::string::npos) << lines[1];

  const std::string older = dir.file("older.db");
  {
    records::HistoryFile(older, false).insert("ac1", "2024-03-05 09:00:00", records::record(1, {}));
  }
  path = older;
  query.format = ExportFormat::kCsv;
  lines = lines_of(run(gw::history::export_readings, query), "\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("2024-03-05T09:00:00+00:00,ac1,1,false,", 0), 0u) << lines[1];
}

TEST_F(HistoryExport, RowsThatCannotBeReadAreCountedAndNeverBreakTheOutput) {
  {
    records::HistoryFile file(path, false);
    file.insert("ac1", "2024-03-05 09:00:00", std::string(120, '\0'));
    file.insert(
        "ac\xff"
        "1",
        "-", records::record(101, {}));
  }
  gw::history::ExportQuery query;
  query.format = ExportFormat::kJsonl;
  const auto lines = lines_of(run(gw::history::export_readings, query));
  ASSERT_EQ(lines.size(), 1u) << "the short record is left out";
  Json::Value row;
  ASSERT_TRUE(Json::Reader().parse(lines[0], row)) << lines[0];
  EXPECT_TRUE(row["time"].isNull());
  EXPECT_EQ(row["unit"].asString(),
            "ac\xEF\xBF\xBD"
            "1")
      << "invalid UTF-8 replaced";
  EXPECT_EQ(summary.unreadable, 2);

  query.since = 0;
  EXPECT_EQ(run(gw::history::export_readings, query), "") << "a row without a time is in no range";
  EXPECT_THROW(export_readings(dir.file("missing.db"), query, std::cout), ExportError);
}

TEST_F(HistoryExport, AlarmEventsWithEnglishTitlesAndTheStoredOnes) {
  {
    records::HistoryFile file(path, false);
    file.execute(
        "INSERT INTO alarm_events (time, device, signal_id, level, state, title, detail) VALUES"
        " ('2024-03-05 09:00:00', 'ac1', '120800150010', 3, 'raised', 'stored, \"one\"', 'wet'),"
        " ('2024-03-05 09:00:07', 'ac2', '999', 1, 'raised', 'other', 'x'),"
        " ('2024-03-05 09:00:09', 'ac1', '120800150010', 3, 'cleared', 'stored', 'dry');");
  }
  gw::history::ExportQuery query;
  query.unit = "ac1";
  const auto lines = lines_of(run(gw::history::export_alarms, query), "\r\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "time,unit,signal_id,state,level,title,stored_title,detail");
  EXPECT_EQ(lines[1],
            "2024-03-05T09:00:00+00:00,ac1,120800150010,raised,3,Water on the floor,"
            "\"stored, \"\"one\"\"\",wet");
  EXPECT_EQ(lines[2].rfind("2024-03-05T09:00:09+00:00,ac1,120800150010,cleared,", 0), 0u);

  query.unit = "ac2";
  query.format = ExportFormat::kJsonl;
  Json::Value event;
  ASSERT_TRUE(Json::Reader().parse(run(gw::history::export_alarms, query), event));
  EXPECT_EQ(event["title"].asString(), "other") << "an unknown id keeps its stored title";
  EXPECT_EQ(event["level"].asInt(), 1);
}

// Heap in use by the process, in bytes (ASan's count under ASan).
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;  // large blocks are mapped, apart from the arena
#endif
}

// Counts what is written and samples the heap every 1000 lines.
class HeapWatchingSink : public std::streambuf {
 public:
  size_t bytes = 0, lines = 0, peak_heap = 0;

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) count(static_cast<char>(c));
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize size) override {
    for (std::streamsize i = 0; i < size; ++i) count(text[i]);
    return size;
  }

 private:
  void count(char c) {
    ++bytes;
    if (c == '\n' && ++lines % 1000 == 0) peak_heap = std::max(peak_heap, heap_in_use());
  }
};

TEST_F(HistoryExport, StreamsALargeFileInFlatMemory) {
  constexpr int kRows = 100000;  // 12 MB of records
  {
    records::HistoryFile file(path, false);
    file.execute("BEGIN");
    const std::string bytes = records::record(101, {{1, 240}, {22, 235}, {62, 8760}});
    for (int i = 0; i < kRows; ++i) file.insert("ac1", "2024-03-05 09:00:00", bytes);
    file.execute("COMMIT");
  }
  HeapWatchingSink sink;
  std::ostream out(&sink);
  const size_t before = heap_in_use();
  EXPECT_EQ(gw::history::export_readings(path, gw::history::ExportQuery{}, out).written, kRows);
  EXPECT_EQ(sink.lines, static_cast<size_t>(kRows + 1));
  EXPECT_GT(sink.bytes, 20u * 1000 * 1000);
  EXPECT_LT(sink.peak_heap, before + 2 * 1024 * 1024)
      << "heap grew by " << (sink.peak_heap - before) << " bytes while " << sink.bytes
      << " bytes went out";
}

}  // namespace
