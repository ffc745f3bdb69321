// The poll round of four register reads and the judging of write echoes.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "driver/norvane.h"
#include "tests/support/fake_host.h"

namespace {

using fakes::captured_stdout;
using standin::ModbusRequest;

std::vector<unsigned char> bytes_of(const Norvane_Data_t& record) {
  const auto* p = reinterpret_cast<const unsigned char*>(&record);
  return {p, p + sizeof record};
}

bool is_read(const std::optional<ModbusRequest>& request, int address, int count) {
  return request && request->function == ModbusRequest::kReadHoldingRegisters &&
         request->address == address && request->count == count;
}

class PollRound : public fakes::HostTest {
 protected:
  // Delivers the fake unit's answer to the outstanding read by hand.
  int answer_outstanding_read() {
    const auto request = standin::outstanding_request(device);
    EXPECT_TRUE(request.has_value());
    return standin::deliver_reply(device, &unit.registers[request->address], request->count);
  }
  Norvane device;
};

TEST_F(PollRound, NewDeviceHasItsDefaults) {
  EXPECT_EQ(device.DeviceType(), "norvane");
  EXPECT_EQ(device.baud_rate, 9600);
  EXPECT_EQ(device.init_flag, 1);
  EXPECT_EQ(device.command_result.load(), -1);
  EXPECT_EQ(device.expected_value.load(), -1);
  EXPECT_EQ(device.b_mode, 1);
  EXPECT_TRUE(device.report.isNull());
  EXPECT_TRUE(device.report_time.is_not_a_date_time());
  EXPECT_EQ(bytes_of(device.data), std::vector<unsigned char>(121, 0));
}

TEST_F(PollRound, ReadsFourBlocksAndCompletesOnceAtTheLast) {
  unit.fill_pattern();
  EXPECT_EQ(device.RefreshStatus(), 1);
  EXPECT_EQ(standin::device_log(device).refresh_calls, 1);
  EXPECT_EQ(device.step, 11);
  EXPECT_TRUE(is_read(standin::outstanding_request(device), 1, 4));

  std::vector<int> results;
  std::vector<int> steps;
  captured_stdout([&] {
    for (int i = 0; i < 4; ++i) {
      results.push_back(answer_outstanding_read());
      steps.push_back(device.step);
    }
  });
  EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 0}));
  EXPECT_EQ(steps, (std::vector<int>{12, 13, 14, 14}));
  EXPECT_EQ(sink.announced.size(), 1u);
  EXPECT_EQ(log.count("Reset"), 1);
  EXPECT_FALSE(standin::outstanding_request(device).has_value());

  // Bytes 4-113 hold registers 1-4, 7-10, 13-15, 22-65 in order, little-endian.
  const std::vector<unsigned char> bytes = bytes_of(device.data);
  size_t offset = 4;
  for (int reg : {1, 2, 3, 4, 7, 8, 9, 10, 13, 14, 15}) {
    EXPECT_EQ(bytes[offset], unit.registers[reg] & 0xff) << "register " << reg;
    EXPECT_EQ(bytes[offset + 1], unit.registers[reg] >> 8) << "register " << reg;
    offset += 2;
  }
  for (int reg = 22; reg <= 65; ++reg, offset += 2) {
    EXPECT_EQ(bytes[offset] | bytes[offset + 1] << 8, unit.registers[reg]) << "register " << reg;
  }
  EXPECT_EQ(offset, 114u);
  EXPECT_EQ(device.data.return_air_temp, unit.registers[22]);
  EXPECT_EQ(device.data.heater_run_time, unit.registers[65]);
}

TEST_F(PollRound, RunsWholeThroughTheSerialLayer) {
  device.RefreshStatus();
  standin::ExchangeOutcome outcome;
  captured_stdout([&] { outcome = standin::serve_exchange(device); });
  EXPECT_EQ(outcome.replies, 4);
  EXPECT_FALSE(outcome.failed);
  EXPECT_EQ(log.calls,
            (std::vector<std::string>{"read 1+4", "read 7+4", "read 13+3", "read 22+44", "SendSP",
                                      "Reset", "DoBatchCheckThreshold", "SaveDeviceHistory"}));
  EXPECT_EQ(device.data.set_temperature, 240);
  EXPECT_EQ(device.data.return_air_temp, 235);
  EXPECT_TRUE(device.data_state);
}

TEST_F(PollRound, RestartsFromTheFirstBlockWhenRefreshedMidRound) {
  device.RefreshStatus();
  answer_outstanding_read();
  answer_outstanding_read();
  ASSERT_EQ(device.step, 13);
  EXPECT_EQ(device.RefreshStatus(), 1);
  EXPECT_EQ(device.step, 11);
  EXPECT_TRUE(is_read(standin::outstanding_request(device), 1, 4));
  EXPECT_TRUE(sink.announced.empty());
}

// A reply that never comes: the round stays open, nothing is announced, the
// blocks already read stay in the record, and the next round starts over.
TEST_F(PollRound, SurvivesAnUnansweredReadAndStartsOverNextRound) {
  device.RefreshStatus();
  answer_outstanding_read();  // registers 1-4 arrive
  unit.silent = true;
  std::string out = captured_stdout([&] { standin::serve_exchange(device); });
  EXPECT_EQ(out, "SPModbus get error\n");
  EXPECT_EQ(device.step, 12);
  EXPECT_EQ(device.data.set_temperature, 240);
  EXPECT_FALSE(device.data_state);
  EXPECT_TRUE(sink.announced.empty());

  unit.silent = false;
  device.RefreshStatus();
  standin::ExchangeOutcome outcome;
  captured_stdout([&] { outcome = standin::serve_exchange(device); });
  EXPECT_EQ(outcome.replies, 4);
  EXPECT_EQ(sink.announced.size(), 1u);
}

class WriteEcho : public fakes::HostTest {
 protected:
  int echo(int step, uint16_t word) {
    device.step = step;
    device.command_result = -1;
    return standin::deliver_reply(device, &word, 1);
  }
  Norvane device;
};

TEST_F(WriteEcho, UnitOnIsDoneOnlyWhenTheEchoIsOne) {
  EXPECT_EQ(echo(100, 1), 0);
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(echo(100, 170), 0);
  EXPECT_EQ(device.command_result.load(), 3);
  EXPECT_EQ(log.count("Reset"), 2);
}

TEST_F(WriteEcho, UnitOffIsDoneOnlyWhenTheEchoIsZero) {
  EXPECT_EQ(echo(102, 0), 0);
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(echo(102, 85), 0);
  EXPECT_EQ(device.command_result.load(), 3);
  EXPECT_EQ(log.count("Reset"), 2);
}

TEST_F(WriteEcho, SetPointIsJudgedAgainstTheExpectedWordWithoutSignExtension) {
  device.expected_value = 260;
  EXPECT_EQ(echo(106, 260), 0);
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(echo(110, 261), 0);
  EXPECT_EQ(device.command_result.load(), 3);
  device.expected_value = -1;
  EXPECT_EQ(echo(106, 65535), 0);
  EXPECT_EQ(device.command_result.load(), 3) << "65535 is not -1";
  device.expected_value = 65535;
  EXPECT_EQ(echo(110, 65535), 0);
  EXPECT_EQ(device.command_result.load(), 1);
  EXPECT_EQ(device.step, 110) << "the step stays until the next round or command";
}

TEST_F(WriteEcho, IgnoresRepliesForAStepNotOurs) {
  device.data.heartbeat = 9;
  const std::vector<unsigned char> before = bytes_of(device.data);
  for (int step : {320, 0, 10, 15, 99, 101, 104, 200}) {
    device.step = step;
    device.command_result = 3;
    const uint16_t words[44] = {1, 1, 1, 1};
    EXPECT_EQ(standin::deliver_reply(device, words, 44), 1) << step;
    EXPECT_EQ(device.step, step);
    EXPECT_EQ(device.command_result.load(), 3);
  }
  EXPECT_EQ(bytes_of(device.data), before);
  EXPECT_TRUE(log.calls.empty());
}

}  // namespace
