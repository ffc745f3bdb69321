// A record decoded into readings and rendered as text, JSON and metric
// names; times in ISO 8601 with the offset of the local time zone.
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>
#include <json/json.h>

#include "gateway/readings/local_time.h"
#include "gateway/readings/readings.h"
#include "gateway/readings/render.h"
#include "tests/outputs/records.h"

namespace {

using namespace gw::readings;

constexpr char kDegrees[] = "\xC2\xB0";

// Central European time: +01:00 in winter, +02:00 from the last Sunday of
// March 02:00 to the last Sunday of October 03:00. A POSIX rule, so that
// no time zone database is needed.
class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

// Words as the simulated unit has them, and some that only a faulty or
// other unit would send.
std::string sample_record() {
  return records::record(70000, {{1, 241},      // 24.1 C
                                 {2, 501},      // 50.1 %
                                 {3, 10},       // 1.0 C
                                 {7, 30},       // 30 C, whole degrees
                                 {9, 70},       // 70 %, whole percent
                                 {13, 170},     // on
                                 {14, 2},       // not a listed code
                                 {22, 0xFFFB},  // -0.5 C
                                 {23, 455},     // 45.5 %
                                 {24, 180},     // 18.0 C
                                 {27, 1},       // running
                                 {31, 2},       // any word not 0 is an alarm
                                 {39, 1},       // fan fault
                                 {62, 8760}});  // hours
}

using ReadingsText = LocalTime;

TEST_F(ReadingsText, OneLinePerValueWithTheDigitsOfItsScaleAndItsUnit) {
  const auto readings = Readings::decode(sample_record());
  ASSERT_TRUE(readings);
  EXPECT_EQ(readings->data_id(), 70000);
  const std::string text = readings_text(*readings);
  for (const std::string& line :
       {"set_temperature: 24.1 " + std::string(kDegrees) + "C", std::string("set_humidity: 50.1 %"),
        "temperature_precision: 1.0 " + std::string(kDegrees) + "C",
        "return_air_temperature_upper_limit: 30 " + std::string(kDegrees) + "C",
        std::string("return_air_humidity_upper_limit: 70 %"),
        "return_air_temperature: -0.5 " + std::string(kDegrees) + "C",
        std::string("return_air_humidity: 45.5 %"), std::string("unit_on_off: on"),
        std::string("touch_screen_lock: invalid (2)"), std::string("run_state: running"),
        std::string("water_on_floor: alarm"), std::string("filter_clogged: normal"),
        std::string("indoor_fan_fault: alarm"),
        std::string("indoor_fan_run_time: 31536000 s (8760 h)"), std::string("heartbeat: 0"),
        std::string("update_time: 2024-03-05T09:07:02+01:00")})
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << " in\n" << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kReadingRowCount);
}

TEST_F(ReadingsText, ARecordNeverStampedHasNoTimeAndOnlyWholeRecordsDecode) {
  const auto unstamped = Readings::decode(records::record(1, {}, 0, 0, 0, 0, 0, 0));
  ASSERT_TRUE(unstamped);
  EXPECT_FALSE(unstamped->time());
  EXPECT_NE(readings_text(*unstamped).find("\nupdate_time: none\n"), std::string::npos);
  EXPECT_FALSE(Readings::decode(records::record(1, {}, 2024, 2, 30)).value().time());

  const std::string whole = sample_record();
  EXPECT_FALSE(Readings::decode(whole.substr(0, 120)));
  EXPECT_FALSE(Readings::decode(whole + '\0'));
}

TEST(ReadingsJson, NumbersWithoutFloatNoiseFlagsAsBooleansEnumerationsByName) {
  const auto readings = Readings::decode(sample_record());
  ASSERT_TRUE(readings);
  const std::string text = json_text(readings_json(*readings));
  // JsonCpp writes members in the order of their names.
  for (const char* member :
       {"\"set_temperature\":24.1", "\"set_humidity\":50.1", "\"temperature_precision\":1.0",
        "\"return_air_temperature_upper_limit\":30", "\"return_air_temperature\":-0.5",
        "\"supply_air_temperature\":18.0", "\"indoor_fan_run_time\":31536000",
        "\"run_state\":\"running\"", "\"touch_screen_lock\":\"invalid (2)\"",
        "\"water_on_floor\":true", "\"filter_clogged\":false"}) {
    const bool found = text.find(member + std::string(",")) != std::string::npos ||
                       text.find(member + std::string("}")) != std::string::npos;
    EXPECT_TRUE(found) << member << " in " << text;
  }

  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(text, parsed)) << text;
  EXPECT_EQ(parsed.size(), static_cast<unsigned>(kWordReadingCount));
  EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";
}

TEST(Metrics, NamesCarryTheUnitAndValuesAreNumbers) {
  const auto readings = Readings::decode(sample_record());
  ASSERT_TRUE(readings);
  const auto metric = [&](const char* name) { return metric_name(*readings->find(name)->row); };
  EXPECT_EQ(metric("return_air_temperature"), "norvane_return_air_temperature_celsius");
  EXPECT_EQ(metric("return_air_humidity"), "norvane_return_air_humidity_percent");
  EXPECT_EQ(metric("compressor_run_time"), "norvane_compressor_run_time_seconds")
      << "base units: promtool refuses hours";
  EXPECT_EQ(metric_value(*readings->find("compressor_run_time")),
            std::to_string(readings->find("compressor_run_time")->word * 3600L));
  EXPECT_EQ(metric_value(*readings->find("return_air_temperature")), "-0.5");
  EXPECT_EQ(metric_value(*readings->find("water_on_floor")), "1");
  EXPECT_EQ(metric("heartbeat"), "norvane_heartbeat");
  EXPECT_EQ(metric_name(kReadingRows[kWordReadingCount]), "norvane_update_time_seconds");
  EXPECT_DOUBLE_EQ(readings->find("return_air_temperature")->number(), -0.5);
  EXPECT_DOUBLE_EQ(readings->find("water_on_floor")->number(), 1.0);
  EXPECT_DOUBLE_EQ(readings->find("unit_on_off")->number(), 170.0);
  EXPECT_EQ(readings->find("update_time"), nullptr);
}

// Each quantity has one unit wherever it goes: a CSV column of the history
// export is the metric's name without its prefix, and the CSV, the metric
// and the JSON of the state messages (ctl, JSON Lines, MQTT) carry the same
// number; run times in seconds everywhere.
TEST(Readings, OneUnitPerQuantityInCsvMetricsAndJson) {
  const auto readings = Readings::decode(sample_record());
  ASSERT_TRUE(readings);
  for (const Reading& reading : readings->values()) {
    if (reading.row->kind != ReadingKind::kNumber) continue;
    EXPECT_EQ("norvane_" + name_with_unit(*reading.row), metric_name(*reading.row));
    EXPECT_EQ(plain_value_text(reading), metric_value(reading)) << reading.row->name;
    EXPECT_EQ(json_text(reading_json(reading)), metric_value(reading)) << reading.row->name;
  }
  const Reading& fan = *readings->find("indoor_fan_run_time");
  EXPECT_EQ(name_with_unit(*fan.row), "indoor_fan_run_time_seconds");
  EXPECT_EQ(plain_value_text(fan), "31536000");
  EXPECT_EQ(unit_symbol(fan.row->unit), std::string("s")) << "MQTT's unit_of_measurement";
  EXPECT_EQ(name_with_unit(*readings->find("return_air_humidity")->row),
            "return_air_humidity_percent");
  EXPECT_EQ(name_with_unit(*readings->find("run_state")->row), "run_state");
}

TEST(Readings, EveryValueComesBackFromItsJson) {
  // What ctl prints from the socket's JSON is what the record held.
  const auto readings = Readings::decode(sample_record());
  ASSERT_TRUE(readings);
  for (const Reading& reading : readings->values()) {
    const std::optional<Reading> back = reading_from_json(*reading.row, reading_json(reading));
    ASSERT_TRUE(back) << reading.row->name;
    EXPECT_EQ(value_text(*back), value_text(reading)) << reading.row->name;
  }
  EXPECT_FALSE(reading_from_json(*readings->find("run_state")->row, Json::Value("flying")));
  EXPECT_FALSE(reading_from_json(*readings->find("set_humidity")->row, Json::Value(-1.0)));
}

using Times = LocalTime;

TEST_F(Times, LocalTimesCarryTheOffsetOfTheirDate) {
  EXPECT_EQ(iso8601_local(1709629622), "2024-03-05T10:07:02+01:00");
  EXPECT_EQ(iso8601_local(1719792000), "2024-07-01T02:00:00+02:00");
  EXPECT_EQ(parse_history_time("2024-07-01 02:00:00"), std::optional<std::time_t>(1719792000));
  const auto stamped = Readings::decode(records::record(1, {}, 2024, 7, 1, 2, 0, 0));
  EXPECT_EQ(stamped.value().time(), std::optional<std::time_t>(1719792000));
}

TEST_F(Times, ArgumentsInIso8601WithOrWithoutOffset) {
  const std::optional<std::time_t> instant = 1709629622;  // 2024-03-05T09:07:02Z
  for (const char* text : {"2024-03-05T09:07:02Z", "2024-03-05 10:07:02+01:00",
                           "2024-03-05T04:07:02-0500", "2024-03-05T10:07:02"})
    EXPECT_EQ(parse_time_argument(text), instant) << text;
  EXPECT_EQ(parse_time_argument("2024-03-05T10:07"), std::optional<std::time_t>(1709629620));
  EXPECT_EQ(parse_time_argument("2024-03-05"), std::optional<std::time_t>(1709593200));
  for (const char* text : {"2024-02-30", "2024-03-05T24:00", "2024-3-5", "yesterday",
                           "2024-03-05T09:07:02+01:00x", "2024-03-05T09:07:02+25:00", ""})
    EXPECT_FALSE(parse_time_argument(text)) << text;
}

}  // namespace
