// The gateway's parts without a line: the echo of a write, the command
// texts and outcomes, the alarm states and the history database.
#include <gtest/gtest.h>

#include "gateway/base/commands.h"
#include "gateway/devices/alarms.h"
#include "gateway/history/history.h"
#include "gateway/line/frames.h"
#include "gateway/line/rtu_link.h"
#include "gateway/readings/reading_table.h"
#include "tests/support/process.h"

namespace {

TEST(Frames, RequestsAreSlaveFunctionAndTwoWords) {
  EXPECT_EQ(gw::line::frames::write_request(2, 13, 170),
            (gw::line::frames::Request{2, 6, 0, 13, 0, 170}));
  EXPECT_EQ(gw::line::frames::read_request(1, 22, 44),
            (gw::line::frames::Request{1, 3, 0, 22, 0, 44}));
  // The CRC as it goes on the wire, low byte first: 01 03 00 01 00 04 15 c9.
  const auto read = gw::line::frames::read_request(1, 1, 4);
  EXPECT_EQ(gw::line::frames::crc16(read.data(), 6), 0xc915);
  EXPECT_EQ(gw::line::frames::hex(read.data(), 6), "01 03 00 01 00 04");
}

TEST(Frames, AnEchoGivesItsValueField) {
  uint16_t value = 0;
  const uint8_t echo[] = {2, 6, 0, 13, 0, 1, 0xaa, 0xbb};  // CRC checked by libmodbus
  EXPECT_EQ(gw::line::frames::write_echo(echo, 8, 2, 13, &value),
            gw::line::frames::ReplyFault::kNone);
  EXPECT_EQ(value, 1);
  const uint8_t high[] = {2, 6, 0x12, 0x34, 0xff, 0xfe, 0, 0};
  EXPECT_EQ(gw::line::frames::write_echo(high, 8, 2, 0x1234, &value),
            gw::line::frames::ReplyFault::kNone);
  EXPECT_EQ(value, 0xfffe);
}

TEST(Frames, AReadReplyGivesItsWordsInOrder) {
  uint16_t words[2] = {};
  const uint8_t reply[] = {1, 3, 4, 0x01, 0x02, 0xff, 0x00, 0, 0};
  EXPECT_EQ(gw::line::frames::read_reply(reply, 9, 1, 2, words),
            gw::line::frames::ReplyFault::kNone);
  EXPECT_EQ(words[0], 0x0102);
  EXPECT_EQ(words[1], 0xff00);
}

TEST(Frames, EveryOtherFrameIsNamedForWhatItIs) {
  using gw::line::frames::ReplyFault;
  uint16_t value = 0, words[4] = {};
  const uint8_t echo[] = {2, 6, 0, 13, 0, 1, 0, 0};
  EXPECT_EQ(gw::line::frames::write_echo(echo, 8, 3, 13, &value), ReplyFault::kOtherSlave);
  EXPECT_EQ(gw::line::frames::write_echo(echo, 8, 2, 1, &value), ReplyFault::kOtherAddress);
  EXPECT_EQ(gw::line::frames::write_echo(echo, 7, 2, 13, &value), ReplyFault::kWrongLength);
  EXPECT_EQ(gw::line::frames::write_echo(echo, 0, 2, 13, &value), ReplyFault::kOtherSlave)
      << "libmodbus drops another slave's frame: length 0";
  const uint8_t exception[] = {2, 0x86, 2, 0, 0};
  EXPECT_EQ(gw::line::frames::write_echo(exception, 5, 2, 13, &value), ReplyFault::kException);
  EXPECT_EQ(gw::line::frames::fault_text(ReplyFault::kException, exception, 5),
            "exception 2 (illegal data address)");
  const uint8_t read[] = {2, 3, 0, 13, 0, 1, 0, 0};
  EXPECT_EQ(gw::line::frames::write_echo(read, 8, 2, 13, &value), ReplyFault::kOtherFunction);
  const uint8_t short_read[] = {1, 3, 2, 0, 7, 0, 0};  // one register of the two asked for
  EXPECT_EQ(gw::line::frames::read_reply(short_read, 7, 1, 2, words), ReplyFault::kWrongLength);
  EXPECT_EQ(value, 0) << "nothing taken from a frame that is not the answer";
}

TEST(LineFailures, AreToldApartByTheirCodeAndASignalIsNeverAPortError) {
  using gw::line::TryOutcome;
  EXPECT_EQ(gw::line::failure_of(EINTR), TryOutcome::kInterrupted);
  for (int code : {ETIMEDOUT, EAGAIN}) EXPECT_EQ(gw::line::failure_of(code), TryOutcome::kTimeout);
  for (int code : {EMBBADCRC, EMBBADDATA, EMBXILADD, EMBBADSLAVE, EBADMSG})
    EXPECT_EQ(gw::line::failure_of(code), TryOutcome::kBadReply) << code;
  for (int code : {EIO, ECONNRESET, EBADF, ENOENT, ENXIO})
    EXPECT_EQ(gw::line::failure_of(code), TryOutcome::kPortError) << code;
}

TEST(Commands, AreTheJsonTextsOfTheirControlCodes) {
  using gw::base::CommandKind;
  struct Case {
    gw::base::Command command;
    int code;
    const char* text;
  } cases[] = {
      {{CommandKind::kSetTemperature, 26}, 310, R"({"SetValue":"26","signal_id":"150800310010"})"},
      {{CommandKind::kSetHumidity, 45}, 310, R"({"SetValue":"45","signal_id":"150800340010"})"},
      {{CommandKind::kUnitOn, 0}, 320, R"({"signal_id":"140800280010"})"},
      {{CommandKind::kUnitOff, 0}, 320, R"({"signal_id":"140800300010"})"},
  };
  for (const Case& c : cases) {
    const gw::base::ControlRequest request = gw::base::encode_command(c.command);
    EXPECT_EQ(request.code, c.code);
    EXPECT_EQ(request.text, c.text);
  }
}

TEST(Commands, OutcomeFollowsTheResultQuery) {
  EXPECT_EQ(gw::base::outcome_of(true, 1), gw::base::CommandOutcome::kDone);
  EXPECT_EQ(gw::base::outcome_of(true, 3), gw::base::CommandOutcome::kFailed);
  EXPECT_EQ(gw::base::outcome_of(true, -1), gw::base::CommandOutcome::kNoAnswer);
  EXPECT_EQ(gw::base::outcome_of(false, 1), gw::base::CommandOutcome::kUnknown);
}

// A device object is only needed as an identity here.
class Device : public SPModbus {
 public:
  int process_payload(tab_type, unsigned int) override { return 0; }
};

class Events : public gw::devices::EventLog {
 public:
  void record(const gw::history::AlarmEvent& event) override { events.push_back(event); }
  std::vector<gw::history::AlarmEvent> events;
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
  gw::devices::UnitNames names;
  Events log;
  gw::devices::RecordLimits limits;
  gw::devices::AlarmBook book{names, limits, log};
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

TEST_F(HistoryTest, GivesBackEachDevicesNewestReadingOfItsDataIdAcrossReopening) {
  {
    gw::history::History history(path, {});
    EXPECT_FALSE(history.newest_record("ac1", 1));
    history.insert_record({"ac1", 1, "2024-01-01 00:00:00", "first", false});
    history.insert_record({"ac2", 2, "2024-01-01 00:00:01", "other", false});
    history.insert_record({"ac1", 1, "2024-01-01 00:00:02", std::string("\0\1\2", 3), false});
    history.insert_record({"ac1", 1, "2024-01-01 00:00:03", "reloaded", true});
    history.insert_record({"ac1", 9, "2024-01-01 00:00:04", "foreign", false});
  }
  gw::history::History history(path, {});
  EXPECT_EQ(history.newest_record("ac1", 1), std::string("\0\1\2", 3));
  EXPECT_EQ(history.newest_record("ac2", 2), "other");
  EXPECT_EQ(history.record_count("ac1", 1), 2) << "neither the reload's nor another data id's";
  EXPECT_EQ(history.record_count("ac3", 1), 0);
}

TEST_F(HistoryTest, RemembersWhichAlarmsWereLastRaised) {
  gw::history::History history(path, {});
  auto event = [&](const char* device, const char* id, bool raised) {
    history.insert_event(
        {"2024-01-01 00:00:00", device, id, 3, raised, "t", "d", std::nullopt, std::nullopt});
  };
  event("ac1", "120800150010", true);
  event("ac1", "120800230010", true);
  event("ac1", "120800230010", false);
  event("ac2", "120800260010", true);
  auto raised = [&](const char* device) {
    std::vector<std::string> ids;
    for (const gw::history::AlarmEvent& raised_event : history.raised_alarms(device))
      ids.push_back(raised_event.signal_id);
    return ids;
  };
  EXPECT_EQ(raised("ac1"), std::vector<std::string>{"120800150010"});
  EXPECT_EQ(raised("ac2"), std::vector<std::string>{"120800260010"});
}

}  // namespace

// A round's record with these readings (by name, as the unit's words).
std::string record_with(std::initializer_list<std::pair<const char*, uint16_t>> words) {
  std::string record(121, '\0');
  for (const auto& [name, word] : words) {
    const int offset = gw::readings::reading_row(name)->record_offset;
    record[offset] = static_cast<char>(word & 0xff);
    record[offset + 1] = static_cast<char>(word >> 8);
  }
  return record;
}

// A limit alarm is compared with the file's limit, else with the unit's own
// setting in the round's record; the event carries the value and limit.
TEST_F(AlarmBookTest, LimitsComeFromTheFileElseFromTheUnitsRecord) {
  gw::config::UnitConfig config;
  config.alarm_thresholds["120800120010"] = 60.3f;  // humidity upper: the file's
  limits.add(first, config);
  const std::string record = record_with({{"return_air_temperature", 295},
                                          {"return_air_temperature_upper_limit", 28},
                                          {"return_air_humidity_upper_limit", 70}});
  limits.take_record(first, record.data(), static_cast<int>(record.size()));
  EXPECT_FLOAT_EQ(first.alarm_thresholds["120800090010"], 28.0f) << "the unit's own";
  EXPECT_FLOAT_EQ(first.alarm_thresholds["120800120010"], 60.3f) << "the file's wins";
  EXPECT_EQ(first.alarm_thresholds.count("120800150010"), 0u) << "a flag alarm has no limit";

  report(first, "120800090010", true);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].value, 29.5);
  EXPECT_EQ(log.events[0].limit, 28.0);
  report(first, "120800150010", true);
  EXPECT_FALSE(log.events[1].value) << "a flag alarm measures nothing";
}
