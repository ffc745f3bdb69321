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

// A pass over many units takes 3 s where the bus interval is 1 s; then
// nothing is read for a minute. The chart's series has one null there,
// halfway, and none between the slow but regular records, thinned or not.
TEST_F(HistoryViews, AnOutageIsAGapOfNullsButSlowRegularPassesAreNot) {
  records::HistoryFile file(path, true);
  file.execute("BEGIN");
  std::vector<std::time_t> stored;
  for (int i = 0; i < 40; ++i) stored.push_back(kNoon + 3 * i + (i >= 20 ? 60 : 0));
  for (size_t i = 0; i < stored.size(); ++i) {
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S", std::gmtime(&stored[i]));
    file.insert("ac1", time, records::record(1, {{22, static_cast<uint16_t>(200 + i)}}));
  }
  file.execute("COMMIT");
  gw::history::SeriesQuery query;
  query.unit = "ac1";
  query.since = kNoon;
  query.until = kNoon + 3600;
  query.interval_s = 1;
  for (const int max_points : {2000, 8}) {
    query.max_points = max_points;
    const Json::Value series = gw::history::air_series(path, query);
    EXPECT_EQ(series["gaps"].asInt64(), 1) << series;
    const Json::Value& times = series["time"];
    const Json::Value& temperatures = series["series"]["return_air_temperature"];
    ASSERT_EQ(times.size(), temperatures.size());
    int nulls = 0;
    for (Json::ArrayIndex i = 0; i < times.size(); ++i) {
      if (!temperatures[i].isNull()) continue;
      ++nulls;
      for (const char* name : gw::history::kAirSeries)
        EXPECT_TRUE(series["series"][name][i].isNull());
      ASSERT_GT(i, 0u);
      ASSERT_LT(i + 1, times.size());
      EXPECT_LE(times[i - 1].asInt64(), (kNoon + 57) * 1000) << "the last point before the outage";
      EXPECT_GE(times[i + 1].asInt64(), (kNoon + 120) * 1000) << "the first point after it";
      EXPECT_GT(times[i].asInt64(), times[i - 1].asInt64());
      EXPECT_LT(times[i].asInt64(), times[i + 1].asInt64());
    }
    EXPECT_EQ(nulls, 1) << "max_points " << max_points << ": " << series;
  }
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
