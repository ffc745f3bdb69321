// The alarm evaluation at the end of a round: which signals are reported,
// with which arguments and in which order (golden calls in
// tests/golden/alarm_calls.txt), and what it does to the host's maps.
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/norvane.h"
#include "tests/support/fake_host.h"
#include "tests/support/golden.h"

namespace {

using fakes::captured_stdout;

const char* const kAllSignals[] = {"120800090010", "120800100010", "120800120010", "120800130010",
                                   "120800150010", "120800230010", "120800260010", "120800240010"};

std::string line_of(const fakes::RecordingChecks::BoolCheck& c) {
  return std::to_string(c.level) + "|" + c.signal_id + "|" + c.related_id + "|" + c.title + "|" +
         c.detail + "|" + (c.active ? "true" : "false") + "|" + std::to_string(c.kind);
}

class Alarms : public fakes::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    device.b_mode = 2;
  }

  std::vector<std::string> reported_lines() const {
    std::vector<std::string> lines;
    for (const auto& call : checks.bool_checks) lines.push_back(line_of(call));
    return lines;
  }

  std::vector<std::string> expected(const char* situation) {
    return golden::section_lines("alarm_calls.txt", situation);
  }

  Norvane device;
};

TEST_F(Alarms, ReportEveryCheckOfAllEightSupervisedSignalsInOrder) {
  const int levels[] = {3, 1, 2, -1, 5, 4, 7, 6};
  for (int i = 0; i < 8; ++i) device.alarm_levels[kAllSignals[i]] = levels[i];
  device.alarm_thresholds = {{"120800090010", 23.0f},
                             {"120800100010", 25.0f},
                             {"120800120010", 70.0f}};  // no low humidity limit
  device.data.return_air_temp = 234;                    // 23.4 C
  device.data.return_air_humidity = 655;                // 65.5
  device.data.floor_water_alarm = 2;                    // any word but 0 is active
  device.data.filter_clogged = 65535;
  device.data.indoor_fan_fault = 1;
  device.RunCheckThreshold();
  EXPECT_EQ(reported_lines(), expected("all eight supervised"));
}

TEST_F(Alarms, DoNothingUnlessTheModeIsTwo) {
  device.alarm_levels[kAllSignals[0]] = 1;
  device.data.floor_water_alarm = 1;
  for (int mode : {1, 0, 3, -2}) {
    device.b_mode = mode;
    device.RunCheckThreshold();
  }
  EXPECT_TRUE(checks.bool_checks.empty());
  EXPECT_EQ(device.alarm_levels.size(), 1u) << "no map is touched";
  EXPECT_TRUE(device.alarm_thresholds.empty());
}

TEST_F(Alarms, ReportNothingUnsupervisedButLeaveALevelEntryForEachSignal) {
  device.alarm_levels["120800090010"] = 0;
  device.data.floor_water_alarm = 1;
  device.RunCheckThreshold();
  EXPECT_TRUE(checks.bool_checks.empty());
  ASSERT_EQ(device.alarm_levels.size(), 8u);
  for (const char* id : kAllSignals) EXPECT_EQ(device.alarm_levels.at(id), 0) << id;
  EXPECT_TRUE(device.alarm_thresholds.empty()) << "a limit is read only when supervised";
}

TEST_F(Alarms, ReportASupervisedFlagThatIsClearAsInactive) {
  device.alarm_levels["120800150010"] = 3;
  device.RunCheckThreshold();
  EXPECT_EQ(reported_lines(), expected("only floor water supervised"));
}

TEST_F(Alarms, CompareStrictlyInSinglePrecision) {
  device.alarm_levels = {{"120800090010", 2}, {"120800100010", 2}};
  device.alarm_thresholds = {{"120800090010", 25.0f}, {"120800100010", 25.0f}};
  device.data.return_air_temp = 250;
  device.RunCheckThreshold();
  EXPECT_EQ(reported_lines(), expected("temperature equal to both limits"));

  // 23.4f is a little below 23.4: a limit of 23.4f is not exceeded, 23.0 is.
  checks.bool_checks.clear();
  device.data.return_air_temp = 234;
  device.alarm_thresholds["120800090010"] = 23.4f;
  device.RunCheckThreshold();
  ASSERT_EQ(checks.bool_checks.size(), 2u);
  EXPECT_FALSE(checks.bool_checks[0].active);
  device.alarm_thresholds["120800090010"] = 23.0f;
  device.RunCheckThreshold();
  EXPECT_TRUE(checks.bool_checks[2].active);

  // A limit that is not a number holds neither way.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  device.alarm_thresholds = {{"120800090010", nan}, {"120800100010", nan}};
  device.RunCheckThreshold();
  EXPECT_FALSE(checks.bool_checks[4].active);
  EXPECT_FALSE(checks.bool_checks[5].active);
}

TEST_F(Alarms, CompareASupervisedLimitWithoutEntryAgainstZeroAndAddTheEntry) {
  device.alarm_levels = {{"120800120010", 1}, {"120800130010", 1}};
  device.data.return_air_humidity = 1;
  device.RunCheckThreshold();
  EXPECT_EQ(reported_lines(), expected("humidity limits without an entry"));
  EXPECT_EQ(device.alarm_thresholds,
            (std::map<std::string, float>{{"120800120010", 0.0f}, {"120800130010", 0.0f}}));
}

TEST_F(Alarms, ReportAConditionThatClearedAsInactiveNextTime) {
  device.alarm_levels["120800240010"] = 1;
  device.data.indoor_fan_fault = 1;
  device.RunCheckThreshold();
  device.data.indoor_fan_fault = 0;
  device.RunCheckThreshold();
  ASSERT_EQ(checks.bool_checks.size(), 2u);
  EXPECT_TRUE(checks.bool_checks[0].active);
  EXPECT_FALSE(checks.bool_checks[1].active);
}

TEST_F(Alarms, AddNoMapEntryAfterTheFirstEvaluation) {
  device.alarm_levels = {{"120800090010", 1}, {"120800130010", 1}};
  device.RunCheckThreshold();
  const auto levels = device.alarm_levels;
  const auto thresholds = device.alarm_thresholds;
  device.data.return_air_temp = 400;
  device.RunCheckThreshold();
  EXPECT_EQ(device.alarm_levels, levels);
  EXPECT_EQ(device.alarm_thresholds, thresholds);
}

// The evaluation runs inside the end of a round, after the record went to
// the host and before the host's own checks.
TEST_F(Alarms, RunAtTheEndOfEveryRoundInModeTwo) {
  Json::Value settings;
  settings["appSetting"]["b_mode"] = "2";
  Norvane polled;
  polled.InitSetting(settings);
  polled.alarm_levels["120800090010"] = 1;
  polled.alarm_thresholds["120800090010"] = 20.0f;
  polled.RefreshStatus();
  captured_stdout([&] { standin::serve_exchange(polled); });
  EXPECT_EQ(log.calls,
            (std::vector<std::string>{"read 1+4", "read 7+4", "read 13+3", "read 22+44", "SendSP",
                                      "Reset", "CheckThresholdBool 120800090010",
                                      "DoBatchCheckThreshold", "SaveDeviceHistory"}));
  ASSERT_EQ(checks.bool_checks.size(), 1u);
  EXPECT_TRUE(checks.bool_checks[0].active) << "the fake unit's return air is 23.5";
}

}  // namespace
