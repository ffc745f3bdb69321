// The commands of codes 310 (set point) and 320 (on/off), end to end: the
// request, the write on the line, the unit's echo judged by the device, and
// the result that any other code then hands out before the host answers.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/commands.h"
#include "driver/norvane.h"
#include "tests/support/fake_host.h"

namespace {

using standin::ModbusRequest;

bool is_write(const std::optional<ModbusRequest>& request, int address, int value) {
  return request && request->function == ModbusRequest::kWriteSingleRegister &&
         request->address == address && request->value == value;
}

std::string deeply_nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class Commands : public fakes::HostTest {
 protected:
  int send(int code, const std::string& text) {
    int size = -99;
    const int result =
        device.DeviceIoControl(code, text.data(), static_cast<int>(text.size()), nullptr, 0, size);
    EXPECT_EQ(size, -99) << "a command leaves out_size alone";
    return result;
  }

  // Serves the write on the fake unit and lets the device judge the echo.
  void serve_write() {
    const standin::ExchangeOutcome outcome = standin::serve_exchange(device);
    EXPECT_EQ(outcome.replies, 1);
    EXPECT_FALSE(standin::outstanding_request(device).has_value());
  }

  // Code 999 (the device's result query, then the host's answer): what the
  // host found in `out` when the request reached it.
  std::optional<int> queried_result() {
    int out = -99;
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(999, nullptr, 0, &out, sizeof out, size), control.result);
    EXPECT_EQ(size, 4);
    return control.requests.back().out_word_on_entry;
  }

  // Nothing in the device moved and nothing went to the line or the host.
  void expect_untouched() {
    EXPECT_EQ(device.step, 14);
    EXPECT_EQ(device.command_result.load(), 3);
    EXPECT_EQ(device.expected_value.load(), 1234);
    EXPECT_FALSE(standin::outstanding_request(device).has_value());
    EXPECT_EQ(log.count("OpenPort"), 0);
  }

  Norvane device;
};

TEST_F(Commands, SetTemperatureWritesTenTimesTheValueAndSucceedsOnItsEcho) {
  ASSERT_EQ(send(310, R"({"signal_id":"150800310010","SetValue":"26"})"), 0);
  EXPECT_EQ(device.step, 106);
  EXPECT_EQ(device.command_result.load(), -1);
  EXPECT_EQ(device.expected_value.load(), 260);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 1, 260));
  EXPECT_EQ(queried_result(), -1) << "pending until the echo";

  serve_write();
  EXPECT_EQ(log.calls,
            (std::vector<std::string>{"OpenPort", "DeviceIoControl 999", "write 1=260", "Reset"}));
  EXPECT_EQ(unit.registers[1], 260);
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(queried_result(), 1);
}

TEST_F(Commands, SetHumidityWritesRegisterTwo) {
  ASSERT_EQ(send(310, R"({"signal_id":"150800340010","SetValue":"45"})"), 0);
  EXPECT_EQ(device.step, 110);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 2, 450));
  serve_write();
  EXPECT_EQ(device.command_result.load(), 1);
}

TEST_F(Commands, SetPointFailsWhenTheEchoDiffers) {
  unit.echo_override = 261;
  send(310, R"({"signal_id":"150800310010","SetValue":"26"})");
  serve_write();
  EXPECT_EQ(device.command_result.load(), 3);
  EXPECT_EQ(queried_result(), 3);
}

// Before, the echo of a set point was compared with whatever an earlier
// on/off command had left in expected_value (1 or 0), so it failed.
TEST_F(Commands, SetPointIsJudgedByItsOwnWordAfterAnOnCommand) {
  send(320, R"({"signal_id":"140800280010"})");
  serve_write();
  ASSERT_EQ(device.expected_value.load(), 1);
  send(310, R"({"signal_id":"150800310010","SetValue":"22"})");
  serve_write();
  EXPECT_EQ(device.command_result.load(), 1);
}

TEST_F(Commands, SetValueMayBeAJsonNumberAndIsReadLikeAtoi) {
  const std::pair<const char*, int> cases[] = {
      {R"(26)", 260}, {R"(25.5)", 250}, {R"(" 7x")", 70},     {R"("+3")", 30},
      {R"("0")", 0},  {R"("+0")", 0},   {R"("3276")", 32760}, {R"(0)", 0}};
  for (const auto& [set_value, word] : cases) {
    const std::string text =
        R"({"signal_id":"150800310010","SetValue":)" + std::string(set_value) + "}";
    ASSERT_EQ(send(310, text), 0) << text;
    EXPECT_TRUE(is_write(standin::outstanding_request(device), 1, word)) << text;
    EXPECT_EQ(device.expected_value.load(), word) << text;
  }
}

// Refused like a set point whose tenfold would wrap round: a negative one
// (before, "-5" wrote -50, which the unit took as 65486 and whose echo
// counted as done) and one without digits (before, "forty" wrote 0 and was
// done).
TEST_F(Commands, RefusesSetPointsThatTheUnitWouldNotReadAsMeant) {
  device.step = 14;
  device.command_result = 3;
  device.expected_value = 1234;
  for (const char* set_value :
       {R"("3277")", R"(6554)", R"("99999999999999999999")", R"("2147483648")", R"("-5")", R"(-5)",
        R"("-1")", R"("-3277")", R"("forty")", R"("")", R"(" ")", R"("+")", R"(true)"}) {
    const std::string text =
        R"({"signal_id":"150800310010","SetValue":)" + std::string(set_value) + "}";
    EXPECT_EQ(send(310, text), -1) << text;
  }
  expect_untouched();
  EXPECT_TRUE(control.requests.empty());
}

TEST_F(Commands, SetPointWithoutValueOrForAnotherSignalGoesToTheHost) {
  device.step = 14;
  device.command_result = 3;
  device.expected_value = 1234;
  const std::string texts[] = {
      R"({"signal_id":"150800310010"})",
      R"({"signal_id":"150800310010","SetValue":null})",
      R"({"signal_id":"140800280010","SetValue":"1"})",  // an on/off id under 310
      R"({"signal_id":"","SetValue":"1"})",
      R"({"SetValue":"1"})",
      R"({"signal_id":null,"SetValue":"1"})",
  };
  for (const std::string& text : texts) EXPECT_EQ(send(310, text), control.result) << text;
  expect_untouched();
  ASSERT_EQ(control.requests.size(), std::size(texts));
  EXPECT_EQ(control.requests[0].code, 310);
  EXPECT_EQ(control.requests[0].in, texts[0]) << "passed on with the same arguments";
}

TEST_F(Commands, SignalIdMayBeANumber) {
  ASSERT_EQ(send(310, R"({"signal_id":150800340010,"SetValue":3})"), 0);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 2, 30));
}

// Text that is not one JSON object, or whose members have no text form, is
// refused as a whole; JsonCpp's exceptions (a member access on a non-object,
// asString on an array, the parser's depth limit) never leave the device.
const char* const kNotACommand[] = {
    "",
    "not json",
    "{",
    "[1,2]",
    R"("150800310010")",
    "42",
    "null",
    "true",
    R"({"signal_id":["150800310010"],"SetValue":"26"})",
    R"({"signal_id":{"id":"150800310010"},"SetValue":"26"})",
};

TEST_F(Commands, SetPointRefusesTextThatIsNotACommand) {
  device.step = 14;
  device.command_result = 3;
  device.expected_value = 1234;
  std::vector<std::string> texts(std::begin(kNotACommand), std::end(kNotACommand));
  texts.push_back(R"({"signal_id":"150800310010","SetValue":[26]})");
  texts.push_back(R"({"signal_id":"150800310010","SetValue":{"v":26}})");
  texts.push_back(deeply_nested(1001));
  texts.push_back(R"({"signal_id":"150800310010","SetValue":)" + deeply_nested(2000) + "}");
  for (const std::string& text : texts) EXPECT_EQ(send(310, text), -1) << text.substr(0, 60);
  int size = 0;
  EXPECT_EQ(device.DeviceIoControl(310, nullptr, 10, nullptr, 0, size), -1) << "null in";
  EXPECT_EQ(device.DeviceIoControl(310, "{}", -1, nullptr, 0, size), -1) << "negative in_len";
  expect_untouched();
  EXPECT_TRUE(control.requests.empty());
}

TEST_F(Commands, OnOffRefusesTextThatIsNotACommandAfterTakingTheLine) {
  std::vector<std::string> texts(std::begin(kNotACommand), std::end(kNotACommand));
  texts.push_back(deeply_nested(1001));
  for (const std::string& text : texts) {
    device.step = 14;
    device.command_result = 3;
    EXPECT_EQ(send(320, text), -1) << text;
    EXPECT_EQ(device.step, 320) << text;
    EXPECT_EQ(device.command_result.load(), -1) << text;
  }
  int size = 0;
  EXPECT_EQ(device.DeviceIoControl(320, nullptr, 5, nullptr, 0, size), -1) << "null in";
  EXPECT_EQ(device.DeviceIoControl(320, "{}", -2, nullptr, 0, size), -1) << "negative in_len";
  EXPECT_EQ(log.count("OpenPort"), static_cast<int>(texts.size()) + 2);
  EXPECT_FALSE(standin::outstanding_request(device).has_value());
  EXPECT_TRUE(control.requests.empty());
  EXPECT_EQ(queried_result(), -1) << "no write, so the result stays pending";
}

TEST_F(Commands, SwitchOnWritesOneSeventyAndSucceedsWhenTheUnitRuns) {
  unit.registers[27] = 0;
  ASSERT_EQ(send(320, R"({"signal_id":"140800280010","SetValue":[1]})"), 0) << "SetValue ignored";
  EXPECT_EQ(device.step, 100);
  EXPECT_EQ(device.expected_value.load(), 1);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 13, 170));
  serve_write();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"OpenPort", "write 13=170", "Reset"}));
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(queried_result(), 1);
}

TEST_F(Commands, SwitchOffWritesEightyFiveAndSucceedsWhenTheUnitStops) {
  ASSERT_EQ(send(320, R"({"signal_id":"140800300010"})"), 0);
  EXPECT_EQ(device.step, 102);
  EXPECT_EQ(device.expected_value.load(), 0);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 13, 85));
  serve_write();
  EXPECT_EQ(device.command_result.load(), 1);
}

TEST_F(Commands, SwitchFailsWhenTheUnitDoesNotFollow) {
  unit.echo_override = 170;  // the unit echoes the word, not its run state
  send(320, R"({"signal_id":"140800280010"})");
  serve_write();
  EXPECT_EQ(device.command_result.load(), 3);
}

TEST_F(Commands, OnOffForAnotherSignalGoesToTheHostLeavingStepThreeTwenty) {
  for (const char* text : {R"({"signal_id":""})", R"({"signal_id":"150800310010"})", R"({})"}) {
    device.command_result = 3;
    EXPECT_EQ(send(320, text), control.result) << text;
    EXPECT_EQ(device.step, 320);
    EXPECT_EQ(device.command_result.load(), -1);
  }
  EXPECT_EQ(control.requests.size(), 3u);
  EXPECT_FALSE(standin::outstanding_request(device).has_value());
}

// A command replaces the poll step: the round in progress is given up, and
// its late reply is not taken for the command's echo.
TEST_F(Commands, OnOffRequestGivesUpTheRoundInProgress) {
  device.RefreshStatus();
  standin::serve_request(device);  // registers 1-4 arrive
  ASSERT_EQ(device.step, 12);
  send(320, "garbage");
  const uint16_t late_reply[4] = {1, 1, 1, 1};
  EXPECT_EQ(standin::deliver_reply(device, late_reply, 4), 1) << "ignored at step 320";
  EXPECT_EQ(device.command_result.load(), -1);
  EXPECT_EQ(device.data.return_temp_upper_limit, 0);
}

TEST_F(Commands, TextIsExactlyInLenBytesWithoutATerminatingZero) {
  const std::string buffer = R"({"signal_id":"150800310010","SetValue":"26"}"trailing)";
  int size = 0;
  ASSERT_EQ(device.DeviceIoControl(310, buffer.data(), 44, nullptr, 0, size), 0);
  EXPECT_TRUE(is_write(standin::outstanding_request(device), 1, 260));
}

class ResultQuery : public fakes::HostTest {
 protected:
  Norvane device;
};

TEST_F(ResultQuery, WritesTheResultBeforeTheHostAnswers) {
  device.command_result = 1;
  unsigned char out[8];
  std::memset(out, 0xAB, sizeof out);
  int size = -1;
  EXPECT_EQ(device.DeviceIoControl(4242, "in", 2, out + 1, 4, size), control.result);
  ASSERT_EQ(control.requests.size(), 1u);
  EXPECT_EQ(control.requests[0].code, 4242);
  EXPECT_EQ(control.requests[0].in, "in");
  EXPECT_EQ(control.requests[0].out_size_on_entry, 4);
  EXPECT_EQ(control.requests[0].out_word_on_entry, 1);
  EXPECT_EQ(out[5], 0xAB) << "four bytes only";
}

TEST_F(ResultQuery, WritesNothingWithoutRoomForFourBytes) {
  device.command_result = 1;
  unsigned char out[4] = {0xAB, 0xAB, 0xAB, 0xAB};
  for (int out_len : {3, 0, -4}) {
    int size = -1;
    EXPECT_EQ(device.DeviceIoControl(7, nullptr, 0, out, out_len, size), control.result);
    EXPECT_EQ(control.requests.back().out_size_on_entry, 0) << out_len;
  }
  int size = -1;
  device.DeviceIoControl(7, nullptr, 0, nullptr, 4, size);
  EXPECT_EQ(control.requests.back().out_size_on_entry, 0) << "null out";
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[3], 0xAB);
}

TEST(SetPointWord, ReadsLikeAtoiButRefusesNoDigitsNegativesAndWhatDoesNotFit) {
  EXPECT_EQ(norvane::set_point_word(" \t\n\v\f\r26"), 260);
  EXPECT_EQ(norvane::set_point_word("-0"), 0);
  EXPECT_EQ(norvane::set_point_word("-"), std::nullopt);
  EXPECT_EQ(norvane::set_point_word("+-5"), std::nullopt);
  EXPECT_EQ(norvane::set_point_word(std::string("1\0"
                                                "5",
                                                3)),
            10);
  EXPECT_EQ(norvane::set_point_word("000000000000000000003276"), 32760);
  EXPECT_EQ(norvane::set_point_word("-3276.9"), std::nullopt);
  EXPECT_EQ(norvane::set_point_word("3277"), std::nullopt);
  EXPECT_EQ(norvane::set_point_word("123456789012345678901234567890"), std::nullopt);
}

}  // namespace
