// The status report of codes 801 (JSON text) and 803 (address): its exact
// text, its buffers, and its rebuild at most once per completed round.
//
// tests/golden/report_*.json are the expected reports written out readably
// (UTF-8, members in the order of assignment); report_*.801 are the same
// reports as the compact writer's bytes: members sorted by the bytes of
// their keys, non-ASCII as \u escapes, doubles with up to 17 digits, a final
// line feed.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "driver/norvane.h"
#include "driver/status_report.h"
#include "tests/support/fake_host.h"
#include "tests/support/golden.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;
using fakes::captured_stdout;

Norvane_Data_t zeroed_record() {
  Norvane_Data_t record;
  std::memset(&record, 0, sizeof record);
  return record;
}

// Valid words of every enumeration, flags of 1, 2 and 65535, and words that
// the report leaves out (registers 28, 32, ...), which must not show.
Norvane_Data_t known_record() {
  Norvane_Data_t r = zeroed_record();
  r.data_id = 99;
  r.set_temperature = 253;
  r.set_humidity = 455;
  r.temperature_precision = 5;
  r.humidity_precision = 3;
  r.return_temp_upper_limit = 30;
  r.return_temp_lower_limit = 15;
  r.return_humidity_upper_limit = 70;
  r.return_humidity_lower_limit = 30;
  r.unit_on_off = 170;
  r.touch_screen_lock = 1;
  r.clear_fault = 1;
  r.return_air_temp = 234;
  r.return_air_humidity = 48;
  r.supply_air_temp = 180;
  r.supply_air_humidity = 55;
  r.unit_fault = 1;
  r.run_state = 1;
  r.reg_28 = 28;
  r.run_mode = 1;
  r.filter_clogged = 2;
  r.reg_32 = 32;
  r.indoor_fan_on = 1;
  r.heater_on = 1;
  r.drain_alarm = 1;
  r.indoor_fan_fault = 1;
  r.heater_fault = 1;
  r.outdoor_unit_fault = 65535;
  r.heartbeat = 12345;
  r.return_temp_low_swing = 1;
  r.return_humidity_low_swing = 3;
  r.touch_screen_comm_fault = 1;
  r.reg_57 = 57;
  r.compressor_high_pressure = 1;
  r.indoor_fan_run_time = 1000;
  r.compressor_run_time = 65535;
  r.humidifier_run_time = 7;
  r.update_time = TTime{2024, 12, 31, 23, 59, 5};
  return r;
}

// A word outside the list of every enumeration.
Norvane_Data_t invalid_record() {
  Norvane_Data_t r = zeroed_record();
  r.set_temperature = 65535;
  r.set_humidity = 65535;
  r.temperature_precision = 1;
  r.humidity_precision = 1;
  r.unit_on_off = 1;  // only 85 and 170 are known
  r.touch_screen_lock = 2;
  r.clear_fault = 65535;
  r.unit_fault = 2;
  r.run_state = 3;
  r.run_mode = 2;
  r.floor_water_alarm = 1;
  r.indoor_fan_on = 2;
  r.compressor_on = 85;
  r.heater_on = 170;
  r.humidifier_on = 65535;
  r.indoor_fan_fault = 2;
  r.compressor_fault = 2;
  r.heater_fault = 9;
  r.humidifier_fault = 256;
  r.update_time = TTime{2024, 3, 5, 9, 7, 2};
  return r;
}

Json::Value parsed(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

class StatusReport : public fakes::HostTest {
 protected:
  // What RoundDone leaves for the report after a round that ended with
  // `record`: its copy, counted, and a time that differs from every earlier
  // round's.
  void complete_round_with(const Norvane_Data_t& record) {
    std::lock_guard<std::mutex> lock(device.report_mutex);
    device.round_record = record;
    ++device.round_count;
    device.data_state = true;
    device.last_data_time = round_clock;
    round_clock += seconds(1);
  }

  // A real round through the serial layer with the fake unit.
  void poll_round() {
    device.RefreshStatus();
    captured_stdout([&] { ASSERT_EQ(standin::serve_exchange(device).replies, 4); });
  }

  // Code 801 into a buffer that is large enough.
  std::string report_text() {
    std::vector<char> buffer(8192);
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, buffer.data(), 8192, size), 0);
    return std::string(buffer.data(), static_cast<size_t>(size));
  }

  Json::Value* report_address() {
    Json::Value* address = nullptr;
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size), 0);
    EXPECT_EQ(size, static_cast<int>(sizeof(void*)));
    return address;
  }

  Norvane device;
  ptime round_clock = time_from_string("2024-06-01 12:00:00");
};

TEST_F(StatusReport, IsTheCompactWritersNullBeforeAnyRound) {
  EXPECT_EQ(report_text(), "null\n");
  Json::Value* address = report_address();
  EXPECT_EQ(address, &device.report);
  EXPECT_TRUE(address->isNull());
  EXPECT_EQ(device.report_builds, 0u);
}

struct GoldenCase {
  const char* name;
  Norvane_Data_t (*record)();
};

class StatusReportGolden : public StatusReport, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(StatusReportGolden, MatchesTheGoldenTextByteForByte) {
  complete_round_with(GetParam().record());
  const std::string text = report_text();
  const std::string name = std::string("report_") + GetParam().name;
  EXPECT_EQ(text, golden::file_bytes(name + ".801"));
  EXPECT_EQ(parsed(text), parsed(golden::file_bytes(name + ".json")));
  EXPECT_EQ(device.report.size(), 46u) << "45 values and AlertArray";
}

INSTANTIATE_TEST_SUITE_P(Records, StatusReportGolden,
                         ::testing::Values(GoldenCase{"zeroed", zeroed_record},
                                           GoldenCase{"known", known_record},
                                           GoldenCase{"invalid", invalid_record}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(StatusReport, RebuildsAtMostOncePerCompletedRound) {
  poll_round();
  const std::string first = report_text();
  EXPECT_EQ(report_text(), first);
  report_address();
  report_address();
  EXPECT_EQ(device.report_builds, 1u) << "between rounds 801 only writes, 803 only points";

  unit.registers[22] = 301;  // the room warms up
  poll_round();
  poll_round();
  EXPECT_EQ(device.report_builds, 1u) << "rounds alone rebuild nothing";
  report_address();
  const std::string second = report_text();
  EXPECT_EQ(device.report_builds, 2u);
  EXPECT_NE(second, first);
  EXPECT_DOUBLE_EQ(device.report[norvane::zh::kReturnAirTemp].asDouble(),
                   static_cast<double>(301.0f / 10.0f));
}

// Rounds are stamped in whole seconds: a round that ends in the same second
// as the one on show must still be shown.
TEST_F(StatusReport, ShowsARoundThatEndedWithinTheSameSecondAsTheLast) {
  complete_round_with(zeroed_record());
  report_text();
  const ptime same_second = device.last_data_time;
  std::string record_text(121, '\0');
  record_text[4] = 7;  // set_temperature 0.7
  captured_stdout([&] { ASSERT_EQ(device.LoadFromCache(record_text), 1); });
  device.last_data_time = same_second;  // as if the reload had ended in that second
  report_text();
  EXPECT_EQ(device.report_builds, 2u);
  EXPECT_DOUBLE_EQ(device.report[norvane::zh::kSetTemperature].asDouble(),
                   static_cast<double>(7.0f / 10.0f));
}

// The host may set last_data_time itself: the report is rebuilt for it, but
// only ever from the last completed round, never from the record that the
// next round is filling.
TEST_F(StatusReport, FollowsTheHostsLastDataTimeButShowsOnlyCompletedRounds) {
  poll_round();
  device.data.set_temperature = 999;  // the next round has begun to arrive
  report_text();
  EXPECT_DOUBLE_EQ(device.report[norvane::zh::kSetTemperature].asDouble(),
                   static_cast<double>(240.0f / 10.0f));
  EXPECT_EQ(device.report[norvane::zh::kUpdateTime].asString(),
            norvane::update_time_text(get_ttime(device.last_data_time)));

  device.last_data_time -= seconds(61);  // set by the host
  report_address();
  EXPECT_EQ(device.report_builds, 2u);
  EXPECT_EQ(device.report_time, device.last_data_time);
  EXPECT_DOUBLE_EQ(device.report[norvane::zh::kSetTemperature].asDouble(),
                   static_cast<double>(240.0f / 10.0f));
}

TEST_F(StatusReport, TextFitsABufferOfExactlyItsLength) {
  complete_round_with(known_record());
  const std::string text = report_text();
  const int length = static_cast<int>(text.size());
  std::vector<char> buffer(text.size() + 1, '#');
  int size = -1;
  EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, buffer.data(), length, size), 0);
  EXPECT_EQ(size, length);
  EXPECT_EQ(std::string(buffer.data(), text.size()), text);
  EXPECT_EQ(buffer.back(), '#') << "no terminating zero is written";
}

TEST_F(StatusReport, TextRefusesTooSmallBuffersButGivesTheLength) {
  complete_round_with(known_record());
  const int length = static_cast<int>(report_text().size());
  std::vector<char> buffer(8192, '#');
  for (int out_len : {length - 1, 1, 0, -1, -length}) {
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, buffer.data(), out_len, size), -1) << out_len;
    EXPECT_EQ(size, length) << out_len;
  }
  EXPECT_EQ(buffer, std::vector<char>(8192, '#')) << "nothing copied";
  int size = -1;
  EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, nullptr, 8192, size), -1) << "null out";
  EXPECT_EQ(size, length);
}

// The size of an address depends on the target: 4 bytes on the 32-bit MIPS
// controller, 8 on a 64-bit build machine.
TEST_F(StatusReport, AddressNeedsRoomForAPointer) {
  complete_round_with(zeroed_record());
  const int pointer = static_cast<int>(sizeof(void*));
  unsigned char buffer[16];
  for (int out_len : {pointer - 1, 0, -pointer}) {
    std::memset(buffer, 0xAB, sizeof buffer);
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, buffer, out_len, size), -1) << out_len;
    EXPECT_EQ(size, pointer) << out_len;
    EXPECT_EQ(buffer[0], 0xAB) << out_len;
  }
  int size = -1;
  EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, nullptr, 16, size), -1) << "null out";

  std::memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(device.DeviceIoControl(803, nullptr, 0, buffer + 1, pointer, size), 0) << "unaligned";
  Json::Value* address = nullptr;
  std::memcpy(&address, buffer + 1, sizeof address);
  EXPECT_EQ(address, &device.report);
  EXPECT_EQ(buffer[1 + pointer], 0xAB) << "nothing beyond the pointer";
}

TEST_F(StatusReport, AddressStaysValidAndShowsLaterRebuilds) {
  complete_round_with(zeroed_record());
  Json::Value* address = report_address();
  EXPECT_EQ((*address)[norvane::zh::kUnitOnOff].asString(), norvane::zh::kInvalidValue);
  complete_round_with(known_record());
  report_text();
  EXPECT_EQ(report_address(), address);
  EXPECT_EQ((*address)[norvane::zh::kUnitOnOff].asString(), norvane::zh::kSwitchedOn);
}

TEST_F(StatusReport, IsNeverPassedOnToTheHost) {
  complete_round_with(known_record());
  report_text();
  report_address();
  int size = 0;
  EXPECT_EQ(device.DeviceIoControl(801, "ignored", 7, nullptr, 0, size), -1);
  EXPECT_TRUE(control.requests.empty());
}

TEST(UpdateTimeText, WritesEveryFieldAsANumberWithoutLeadingZeros) {
  EXPECT_EQ(norvane::update_time_text(TTime{2024, 3, 5, 9, 7, 2}), "2024-3-5 9:7:2");
  EXPECT_EQ(norvane::update_time_text(TTime{2024, 12, 31, 23, 59, 5}), "2024-12-31 23:59:5");
  EXPECT_EQ(norvane::update_time_text(TTime{0, 0, 0, 0, 0, 0}), "0-0-0 0:0:0");
  EXPECT_EQ(norvane::update_time_text(TTime{65535, 255, 255, 255, 255, 255}),
            "65535-255-255 255:255:255");
}

}  // namespace
