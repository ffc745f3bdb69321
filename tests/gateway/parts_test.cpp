// The gateway's parts without a line: the echo of a write, the command
// texts and outcomes, the alarm states and the history database.
#include <gtest/gtest.h>

#include "gateway/alarms.h"
#include "gateway/commands.h"
#include "gateway/history.h"
#include "gateway/write_echo.h"
#include "tests/support/process.h"

namespace {

TEST(WriteEcho, IsTheValueFieldOfTheMatchingConfirmation) {
  const auto request = gw::write_request(2, 13, 170);
  EXPECT_EQ(request, (std::array<uint8_t, 6>{2, 6, 0, 13, 0, 170}));
  const uint8_t echo[] = {2, 6, 0, 13, 0, 1, 0xaa, 0xbb};  // CRC checked by libmodbus
  EXPECT_EQ(gw::echo_value(echo, 8, 2, 13), 1);
  const uint8_t high[] = {2, 6, 0x12, 0x34, 0xff, 0xfe, 0, 0};
  EXPECT_EQ(gw::echo_value(high, 8, 2, 0x1234), 0xfffe);
}

TEST(WriteEcho, IsNothingForAnyOtherFrame) {
  const uint8_t echo[] = {2, 6, 0, 13, 0, 1, 0, 0};
  EXPECT_FALSE(gw::echo_value(echo, 8, 3, 13)) << "another slave";
  EXPECT_FALSE(gw::echo_value(echo, 8, 2, 1)) << "another register";
  EXPECT_FALSE(gw::echo_value(echo, 7, 2, 13)) << "short";
  EXPECT_FALSE(gw::echo_value(echo, 0, 2, 13)) << "a reply for another slave, ignored";
  const uint8_t exception[] = {2, 0x86, 2, 0, 0};
  EXPECT_FALSE(gw::echo_value(exception, 5, 2, 13));
  const uint8_t read[] = {2, 3, 0, 13, 0, 1, 0, 0};
  EXPECT_FALSE(gw::echo_value(read, 8, 2, 13)) << "another function";
}

TEST(Commands, AreTheJsonTextsOfTheirControlCodes) {
  using gw::CommandKind;
  struct Case {
    gw::Command command;
    int code;
    const char* text;
  } cases[] = {
      {{CommandKind::kSetTemperature, 26}, 310, R"({"SetValue":"26","signal_id":"150800310010"})"},
      {{CommandKind::kSetHumidity, 45}, 310, R"({"SetValue":"45","signal_id":"150800340010"})"},
      {{CommandKind::kUnitOn, 0}, 320, R"({"signal_id":"140800280010"})"},
      {{CommandKind::kUnitOff, 0}, 320, R"({"signal_id":"140800300010"})"},
  };
  for (const Case& c : cases) {
    const gw::ControlRequest request = gw::encode_command(c.command);
    EXPECT_EQ(request.code, c.code);
    EXPECT_EQ(request.text, c.text);
  }
}

TEST(Commands, OutcomeFollowsTheResultQuery) {
  EXPECT_EQ(gw::outcome_of(true, 1), gw::CommandOutcome::kDone);
  EXPECT_EQ(gw::outcome_of(true, 3), gw::CommandOutcome::kFailed);
  EXPECT_EQ(gw::outcome_of(true, -1), gw::CommandOutcome::kNoAnswer);
  EXPECT_EQ(gw::outcome_of(false, 1), gw::CommandOutcome::kUnknown);
}

// A device object is only needed as an identity here.
class Device : public SPModbus {
 public:
  int process_payload(tab_type, unsigned int) override { return 0; }
};

class Events : public gw::EventLog {
 public:
  void record(const gw::AlarmEvent& event) override { events.push_back(event); }
  std::vector<gw::AlarmEvent> events;
};

class AlarmBookTest : public ::testing::Test {
 protected:
  AlarmBookTest() {
    names.add(first, "ac1");
    names.add(second, "ac2");
  }
  bool report(Device& device, const char* id, bool active) {
    return book.threshold_bool(device, 3, id, id, "title", "detail", active, 1);
  }
  gw::UnitNames names;
  Events log;
  gw::AlarmBook book{names, log};
  Device first, second;
};

TEST_F(AlarmBookTest, RecordsAnEventOnlyWhenASignalChanges) {
  EXPECT_FALSE(report(first, "120800150010", false)) << "normal from the start: nothing";
  EXPECT_TRUE(report(first, "120800150010", true));
  EXPECT_FALSE(report(first, "120800150010", true)) << "still raised: no new event";
  EXPECT_FALSE(report(first, "120800150010", false));
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_TRUE(log.events[0].raised);
  EXPECT_FALSE(log.events[1].raised);
  EXPECT_EQ(log.events[0].device, "ac1");
  EXPECT_EQ(log.events[0].level, 3);
  EXPECT_EQ(log.events[0].title, "title");
  EXPECT_EQ(log.events[0].detail, "detail");
}

TEST_F(AlarmBookTest, KeepsEachUnitsSignalsApart) {
  report(first, "120800150010", true);
  report(second, "120800230010", true);
  EXPECT_TRUE(book.is_raised("ac1", "120800150010"));
  EXPECT_FALSE(book.is_raised("ac2", "120800150010"));
  EXPECT_FALSE(book.is_raised("ac1", "120800230010"));
  EXPECT_EQ(log.events.size(), 2u);
}

TEST_F(AlarmBookTest, ARestoredAlarmIsNotRaisedAgainButIsCleared) {
  book.restore("ac1", "120800150010");
  report(first, "120800150010", true);
  EXPECT_TRUE(log.events.empty());
  report(first, "120800150010", false);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_FALSE(log.events[0].raised);
}

class HistoryTest : public ::testing::Test {
 protected:
  testproc::TempDir dir;
  std::string path = dir.file("history.db");
};

TEST_F(HistoryTest, GivesBackEachDevicesNewestRecordAcrossReopening) {
  {
    gw::History history(path);
    EXPECT_FALSE(history.newest_record("ac1"));
    history.save_record("ac1", 1, "2024-01-01 00:00:00", "first", 5);
    history.save_record("ac2", 2, "2024-01-01 00:00:01", "other", 5);
    const std::string binary("\0\1\2", 3);
    history.save_record("ac1", 1, "2024-01-01 00:00:02", binary.data(), 3);
  }
  gw::History history(path);
  EXPECT_EQ(history.newest_record("ac1"), std::string("\0\1\2", 3));
  EXPECT_EQ(history.newest_record("ac2"), "other");
  EXPECT_EQ(history.record_count("ac1"), 2);
  EXPECT_EQ(history.record_count("ac3"), 0);
}

TEST_F(HistoryTest, RemembersWhichAlarmsWereLastRaised) {
  gw::History history(path);
  auto event = [&](const char* device, const char* id, bool raised) {
    history.save_event({"2024-01-01 00:00:00", device, id, 3, raised, "t", "d"});
  };
  event("ac1", "120800150010", true);
  event("ac1", "120800230010", true);
  event("ac1", "120800230010", false);
  event("ac2", "120800260010", true);
  EXPECT_EQ(history.raised_alarms("ac1"), std::vector<std::string>{"120800150010"});
  EXPECT_EQ(history.raised_alarms("ac2"), std::vector<std::string>{"120800260010"});
}

}  // namespace
