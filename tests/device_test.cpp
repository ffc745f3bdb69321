// The generic data device: settings, the end of a round, the reload of a
// kept record, and the host interface's default bodies that it inherits.
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "driver/norvane.h"
#include "tests/support/fake_host.h"

namespace {

using boost::posix_time::second_clock;
using fakes::captured_stdout;

Json::Value parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  EXPECT_TRUE(reader.parse(text, value)) << text;
  return value;
}

std::vector<unsigned char> bytes_of(const Norvane_Data_t& record) {
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return {p, p + sizeof record};
}

std::string record_text(unsigned char fill) { return std::string(121, static_cast<char>(fill)); }

class Settings : public fakes::HostTest {
 protected:
  int mode_after(const std::string& settings_text) {
    Norvane fresh;
    fresh.InitSetting(parse(settings_text));
    return fresh.b_mode;
  }
  Norvane device;
};

TEST_F(Settings, CopyDataIdIntoTheRecordLittleEndian) {
  device.data_id = 0x01020304;
  device.InitSetting(Json::Value());
  const std::vector<unsigned char> bytes = bytes_of(device.data);
  EXPECT_EQ(bytes[0], 0x04);
  EXPECT_EQ(bytes[3], 0x01);
}

TEST_F(Settings, ReadModeFromTextTruncatedTowardZero) {
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"2"}})"), 2);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"2.9"}})"), 2);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"-1.5"}})"), -1);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":2}})"), 2);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"  3xyz"}})"), 3);
}

TEST_F(Settings, ReadModeWithoutLeadingNumberAsZero) {
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"abc"}})"), 0);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":true}})"), 0);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":""}})"), 0);
}

TEST_F(Settings, KeepModeWhenNoUsableModeIsGiven) {
  for (const char* text :
       {R"({})", R"({"appSetting":"2"})", R"({"appSetting":[2]})", R"({"appSetting":{}})",
        R"({"appSetting":{"b_mode":null}})", R"([1,2])", R"("b_mode")", R"(null)"}) {
    EXPECT_EQ(mode_after(text), 1) << text;
  }
}

// An array or an object has no text form; such a mode must not throw out of
// InitSetting, and the host's InitSetting must still run.
TEST_F(Settings, KeepModeAndCallHostWhenModeIsAnArrayOrObject) {
  device.b_mode = 2;
  for (const char* text :
       {R"({"appSetting":{"b_mode":[2]}})", R"({"appSetting":{"b_mode":{"x":2}}})"}) {
    const int calls = standin::device_log(device).init_setting_calls;
    EXPECT_NO_THROW(device.InitSetting(parse(text))) << text;
    EXPECT_EQ(device.b_mode, 2) << text;
    EXPECT_EQ(standin::device_log(device).init_setting_calls, calls + 1) << text;
  }
}

TEST_F(Settings, KeepModeWhenNumberIsNotFiniteOrDoesNotFitAnInt) {
  for (const char* text :
       {R"({"appSetting":{"b_mode":"1e400"}})", R"({"appSetting":{"b_mode":"-1e400"}})",
        R"({"appSetting":{"b_mode":"nan"}})", R"({"appSetting":{"b_mode":"inf"}})",
        R"({"appSetting":{"b_mode":"2147483648"}})", R"({"appSetting":{"b_mode":"-2147483649"}})",
        R"({"appSetting":{"b_mode":1e300}})"}) {
    EXPECT_EQ(mode_after(text), 1) << text;
  }
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"2147483647.9"}})"), 2147483647);
  EXPECT_EQ(mode_after(R"({"appSetting":{"b_mode":"-2147483648"}})"), -2147483648);
  Json::Value not_finite;
  not_finite["appSetting"]["b_mode"] = std::numeric_limits<double>::infinity();
  device.InitSetting(not_finite);
  EXPECT_EQ(device.b_mode, 1);
}

TEST_F(Settings, HandTheUnchangedSettingsToTheHost) {
  const Json::Value settings = parse(R"({"appSetting":"x","other":[1,2]})");
  device.InitSetting(settings);
  EXPECT_EQ(standin::device_log(device).init_setting_calls, 1);
  EXPECT_EQ(standin::device_log(device).last_settings, settings);
}

class EndOfRound : public fakes::HostTest {
 protected:
  Norvane device;
};

TEST_F(EndOfRound, StampsAnnouncesChecksAndStoresInThatOrder) {
  device.ao_signal_ids = {"a", "b"};
  device.ao_values = {{"a", 1.5f}, {"b", 2.5f}};
  const auto before = second_clock::local_time();
  const std::string out = captured_stdout([&] { device.RoundDone(); });
  const auto after = second_clock::local_time();

  EXPECT_EQ(log.calls,
            (std::vector<std::string>{"SendSP", "Reset", "CheckAOReport a", "CheckThreshold a '' 1",
                                      "CheckAOReport b", "CheckThreshold b '' 1",
                                      "DoBatchCheckThreshold", "SaveDeviceHistory"}));
  EXPECT_EQ(out, "rvSize is 0\n");
  EXPECT_TRUE(device.data_state);
  EXPECT_EQ(device.round_status, 1);
  EXPECT_GE(device.last_data_time, before);
  EXPECT_LE(device.last_data_time, after);
  const TTime stamp = get_ttime(device.last_data_time);
  EXPECT_EQ(std::memcmp(&stamp, reinterpret_cast<const unsigned char*>(&device.data) + 114, 7), 0);

  ASSERT_EQ(sink.announced.size(), 1u);
  EXPECT_EQ(sink.announced[0].type, 5156);
  EXPECT_FALSE(sink.announced[0].delayed);
  EXPECT_EQ(sink.announced[0].bytes, bytes_of(device.data));
  ASSERT_EQ(sink.saved.size(), 1u);
  EXPECT_EQ(sink.saved[0].bytes, bytes_of(device.data));
}

TEST_F(EndOfRound, SkipsAnalogueSignalsWithoutValueAndAddsNoEntry) {
  device.ao_signal_ids = {"missing", "a"};
  device.ao_values = {{"a", 1.0f}};
  captured_stdout([&] { device.RoundDone(); });
  ASSERT_EQ(checks.ao_reports.size(), 1u);
  EXPECT_EQ(checks.ao_reports[0].first, "a");
  EXPECT_EQ(device.ao_values.count("missing"), 0u);
}

TEST_F(EndOfRound, KeepsCallingChecksAfterOneRaised) {
  device.ao_signal_ids = {"a", "b"};
  device.ao_values = {{"a", 1.0f}, {"b", 2.0f}};
  checks.ao_report_raises = true;
  captured_stdout([&] { device.RoundDone(); });
  EXPECT_EQ(checks.ao_reports.size(), 2u);
  EXPECT_EQ(checks.batch_sizes.size(), 1u);
  EXPECT_TRUE(device.check_raised);
}

TEST_F(EndOfRound, RaisesOnlyWhenTheBatchCheckRaises) {
  device.check_raised = true;
  captured_stdout([&] { device.RoundDone(); });
  EXPECT_FALSE(device.check_raised);
  checks.batch_raises = true;
  captured_stdout([&] { device.RoundDone(); });
  EXPECT_TRUE(device.check_raised);
}

TEST_F(EndOfRound, CountsThenClearsTheHostsRuleValues) {
  device.rule_values.resize(3);
  EXPECT_EQ(captured_stdout([&] { device.RoundDone(); }), "rvSize is 3\n");
  EXPECT_EQ(checks.batch_sizes, std::vector<size_t>{3});
  EXPECT_TRUE(device.rule_values.empty());
}

TEST_F(EndOfRound, KeepsAStampedCopyOfTheRecordForTheReport) {
  device.data.set_temperature = 251;
  captured_stdout([&] { device.RoundDone(); });
  device.data.set_temperature = 999;  // the next round is arriving
  EXPECT_EQ(device.round_record.set_temperature, 251);
  EXPECT_EQ(device.round_record.update_time.year, get_ttime(device.last_data_time).year);
  EXPECT_EQ(device.round_count, 1u);
}

class Reload : public fakes::HostTest {
 protected:
  Norvane device;
};

TEST_F(Reload, RefusesAnyOtherLengthWithoutTouchingAnything) {
  device.data.heartbeat = 42;
  const std::vector<unsigned char> before = bytes_of(device.data);
  const std::string bytes(122, '\x5a');
  EXPECT_EQ(device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), 120), 0);
  EXPECT_EQ(device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), 122), 0);
  EXPECT_EQ(device.LoadFromCache(std::string()), 0);
  EXPECT_EQ(device.LoadFromCache(bytes), 0);
  EXPECT_EQ(bytes_of(device.data), before);
  EXPECT_FALSE(device.data_state);
  EXPECT_TRUE(log.calls.empty());
}

TEST_F(Reload, RefusesANullPointerOrANegativeLength) {
  EXPECT_EQ(device.LoadFromCache(nullptr, 121), 0);
  const std::string bytes = record_text(1);
  EXPECT_EQ(device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), -121), 0);
  EXPECT_EQ(device.LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), -1), 0);
  EXPECT_EQ(device.data.data_id, 0);
  EXPECT_TRUE(log.calls.empty());
}

TEST_F(Reload, TakesTheWholeRecordThenCompletesARound) {
  std::string bytes = record_text(0);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i + 1);
  int result = 0;
  const std::string out = captured_stdout([&] { result = device.LoadFromCache(bytes); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "rvSize is 0\n");
  const std::vector<unsigned char> now = bytes_of(device.data);
  EXPECT_TRUE(std::equal(now.begin(), now.begin() + 114, bytes.begin())) << "data_id and words";
  const TTime stamp = get_ttime(device.last_data_time);
  EXPECT_EQ(std::memcmp(&stamp, now.data() + 114, 7), 0) << "stamped with the reload time";
  EXPECT_TRUE(device.data_state);
  EXPECT_EQ(sink.announced.size(), 1u);
  ASSERT_EQ(sink.saved.size(), 1u);
  EXPECT_EQ(sink.saved[0].bytes.size(), 121u);
}

class HostDefaults : public fakes::HostTest {
 protected:
  Norvane device;
};

TEST_F(HostDefaults, GetValueSaysDataNotReady) {
  try {
    device.VDeviceInterface::Get_Value(0, "any");
    FAIL() << "Get_Value returned";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "\xe6\x95\xb0\xe6\x8d\xae\xe6\x9c\xaa\xe5\xb0\xb1\xe7\xbb\xaa");
  }
}

TEST_F(HostDefaults, AnswerTypeIdAndDatabaseFromTheMembers) {
  device.data_id = 77;
  device.use_controller_db = true;
  EXPECT_EQ(device.DataId(), 77);
  EXPECT_EQ(device.DeviceType(), "norvane");
  EXPECT_EQ(&device.DeviceType(), &device.device_type) << "a reference, not a copy";
  EXPECT_TRUE(device.UseControllerDb());
}

TEST_F(HostDefaults, HaveNoChildDevices) {
  EXPECT_EQ(device.GetChildVDevice(0), nullptr);
  EXPECT_EQ(device.GetChildVDevice(12345), nullptr);
  EXPECT_TRUE(device.GetAllChildVDevices().empty());
}

TEST_F(HostDefaults, OnErrorPrintsOneLineAndChangesNothing) {
  device.step = 12;
  int result = -1;
  EXPECT_EQ(captured_stdout([&] { result = device.on_error(); }), "SPModbus get error\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(device.step, 12);
}

TEST_F(HostDefaults, StringReloadDispatchesToTheDevicesByteForm) {
  VDeviceInterface& as_host_sees_it = device;
  int result = 0;
  captured_stdout([&] { result = as_host_sees_it.LoadFromCache(record_text(3)); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(device.data.set_humidity, 0x0303);
}

}  // namespace
