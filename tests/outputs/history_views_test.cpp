// What the status page reads of the history: the air series of a period
// (reload records left out, the newest kept when thinned) and the newest
// alarm events with their English titles.
#include <cstdlib>

#include <gtest/gtest.h>
#include <json/json.h>

#include "gateway/history/history_views.h"
#include "tests/outputs/records.h"
#include "tests/support/process.h"

namespace {

using namespace gw::history;

class HistoryViews : public records::InUtc {
 protected:
  // Records of ac1 at 12:00:00, 12:00:01, ...; return air 20.0 C + i/10.
  void fill(records::HistoryFile& file, int count) {
    file.execute("BEGIN");
    for (int i = 0; i < count; ++i) {
      char time[32];
      std::snprintf(time, sizeof time, "2024-05-01 12:%02d:%02d", i / 60, i % 60);
      file.insert("ac1", time, records::record(1, {{22, 200 + i}, {25, 500}}), i == 3);
    }
    file.insert("ac2", "2024-05-01 12:00:05", records::record(2, {{22, 999}}));
    file.execute("COMMIT");
  }

  testproc::TempDir dir;
  std::string path = dir.file("history.db");
  static constexpr std::time_t kNoon = 1714564800;  // 2024-05-01T12:00:00Z
};

TEST_F(HistoryViews, SeriesHoldTheRecordsOfThePeriodOldestFirstWithoutReloads) {
  records::HistoryFile file(path, true);
  fill(file, 10);
  gw::history::SeriesQuery query;
  query.unit = "ac1";
  query.since = kNoon + 2;
  query.until = kNoon + 8;
  const Json::Value series = gw::history::air_series(path, query);
  // 12:00:02 to 12:00:07, without the reload record of 12:00:03.
  const std::vector<Json::Int64> expected = {2, 4, 5, 6, 7};
  ASSERT_EQ(series["time"].size(), expected.size()) << series;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(series["time"][static_cast<int>(i)].asInt64(), (kNoon + expected[i]) * 1000);
    EXPECT_DOUBLE_EQ(series["series"]["return_air_temperature"][static_cast<int>(i)].asDouble(),
                     20.0 + expected[i] / 10.0);
    EXPECT_DOUBLE_EQ(series["series"]["supply_air_humidity"][static_cast<int>(i)].asDouble(), 50.0);
  }
  EXPECT_EQ(series["records"].asInt64(), 5);
  EXPECT_EQ(series["step"].asInt64(), 1);
  EXPECT_EQ(series["since"], "2024-05-01T12:00:02+00:00");
}

TEST_F(HistoryViews, ALongPeriodIsThinnedToEveryKthRecordKeepingTheNewest) {
  records::HistoryFile file(path, false);
  fill(file, 1000);
  gw::history::SeriesQuery query;
  query.unit = "ac1";
  query.since = kNoon;
  query.until = kNoon + 3600;
  query.max_points = 100;
  const Json::Value series = gw::history::air_series(path, query);
  EXPECT_EQ(series["records"].asInt64(), 1000);
  const Json::Int64 step = series["step"].asInt64();
  EXPECT_EQ(step, 8) << "doubled until at most twice 100 remain";
  ASSERT_EQ(series["time"].size(), 125u);
  EXPECT_EQ(series["time"][124].asInt64(), (kNoon + 999) * 1000) << "the newest kept";
  EXPECT_EQ(series["time"][123].asInt64(), (kNoon + 999 - step) * 1000);
}

TEST_F(HistoryViews, RecentAlarmEventsNewestFirstWithEnglishTitles) {
  records::HistoryFile file(path, true);
  for (int i = 0; i < 5; ++i)
    file.execute(std::string("INSERT INTO alarm_events (time, device, signal_id, level, state,"
                             " title, detail) VALUES ('2024-05-01 12:00:0") +
                 std::to_string(i) + "', 'ac1', '120800150010', 3, '" +
                 (i % 2 == 0 ? "raised" : "cleared") + "', 'stored', 'd')");
  const Json::Value events = gw::history::recent_alarm_events(path, 3);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["time"], "2024-05-01T12:00:04+00:00");
  EXPECT_EQ(events[0]["state"], "raised");
  EXPECT_EQ(events[2]["time"], "2024-05-01T12:00:02+00:00");
  EXPECT_EQ(events[0]["title"], "Water on the floor");
}

}  // namespace
