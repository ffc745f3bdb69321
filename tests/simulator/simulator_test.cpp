// The simulated unit without a line: its registers and writes, scenarios,
// and the RTU frames it takes and answers.
#include <gtest/gtest.h>

#include "simulator/rtu_frames.h"
#include "simulator/scenario.h"
#include "simulator/unit_model.h"

namespace {

TEST(UnitModel, SwitchesWithOnOffWordsAndAcknowledgesWithTheRunState) {
  sim::UnitModel unit;
  EXPECT_TRUE(unit.running());
  sim::WriteResult result = unit.write(13, 85);
  EXPECT_FALSE(result.refusal);
  EXPECT_EQ(result.echo, 0);
  EXPECT_EQ(unit.get(27), 0);
  EXPECT_EQ(unit.get(33), 0) << "the fan stops with the unit";
  result = unit.write(13, 170);
  EXPECT_EQ(result.echo, 1);
  EXPECT_EQ(unit.get(13), 170);
  EXPECT_EQ(unit.write(13, 1).refusal, sim::Refusal::kIllegalValue);
  EXPECT_EQ(unit.get(13), 170);
}

TEST(UnitModel, TakesSetPointsAndRefusesOtherRegisters) {
  sim::UnitModel unit;
  EXPECT_EQ(unit.write(1, 260).echo, 260);
  EXPECT_EQ(unit.write(2, 450).echo, 450);
  EXPECT_EQ(unit.get(1), 260);
  for (int reg : {0, 3, 22, 27, 65, 66})
    EXPECT_EQ(unit.write(reg, 1).refusal, sim::Refusal::kIllegalAddress) << reg;
}

TEST(UnitModel, AirDriftsNearTheSetPointWhileRunningAndWarmsWhenStopped) {
  sim::UnitModel unit;
  for (double t = 0; t < 200; t += 7) {
    unit.advance(t);
    EXPECT_NEAR(unit.get(22), 235, 15) << t;
    EXPECT_NEAR(unit.get(23), 480, 40) << t;
    EXPECT_LT(unit.get(24), unit.get(22)) << "supply air is cooler";
  }
  unit.write(13, 85);
  unit.advance(30);
  EXPECT_GT(unit.get(22), 260);
}

TEST(UnitModel, ReadsOnlyRegistersOneToSixtyFive) {
  sim::UnitModel unit;
  uint16_t words[44] = {};
  ASSERT_TRUE(unit.read(22, 44, words));
  EXPECT_EQ(words[27 - 22], 1);
  EXPECT_FALSE(unit.read(0, 4, words));
  EXPECT_FALSE(unit.read(63, 4, words));
}

TEST(Scenario, RaisesAndClearsFlagsWhenDue) {
  std::string error;
  auto events = sim::parse_scenario(
      "# comment\n\n6 floor_water off\n3 floor_water on\n3 fan_overload on\n", error);
  ASSERT_TRUE(events) << error;
  sim::ScenarioPlayer player(std::move(*events));
  sim::UnitModel unit;
  EXPECT_TRUE(player.apply_due(2.9, unit).empty());
  EXPECT_EQ(player.apply_due(3.0, unit).size(), 2u);
  EXPECT_EQ(unit.get(31), 1);
  EXPECT_EQ(unit.get(39), 1);
  EXPECT_TRUE(player.apply_due(5, unit).empty()) << "each event once";
  EXPECT_EQ(player.apply_due(60, unit).size(), 1u);
  EXPECT_EQ(unit.get(31), 0);
}

TEST(Scenario, NamesTheBadLine) {
  const char* bad[][2] = {{"1 floor_water on\nsoon floor_water on\n", "line 2: expected"},
                          {"1 smoke on\n", "line 1: unknown flag smoke"},
                          {"1 filter_clogged maybe\n", "line 1: the state must be on or off"},
                          {"-1 filter_clogged on\n", "line 1: the time must be"},
                          {"1 filter_clogged on now\n", "line 1: unexpected text"}};
  for (const auto& [text, reason] : bad) {
    std::string error;
    EXPECT_FALSE(sim::parse_scenario(text, error)) << text;
    EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
  }
}

// A request frame with its CRC.
std::vector<uint8_t> frame(std::vector<uint8_t> bytes) {
  const uint16_t crc = sim::crc16(bytes.data(), bytes.size());
  bytes.push_back(static_cast<uint8_t>(crc & 0xff));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(RtuFrames, ChecksTheCrcOfKnownFrames) {
  // The write that libmodbus sends for slave 2, register 13, value 170.
  const uint8_t wire[] = {0x02, 0x06, 0x00, 0x0d, 0x00, 0xaa, 0x98, 0x45};
  EXPECT_TRUE(sim::crc_matches(wire, 8));
  uint8_t damaged[8];
  std::copy(wire, wire + 8, damaged);
  damaged[5] ^= 1;
  EXPECT_FALSE(sim::crc_matches(damaged, 8));
}

TEST(RtuFrames, AssemblesRequestsThatArriveInPieces) {
  sim::FrameAssembler frames;
  const auto read = frame({1, 3, 0, 22, 0, 44});
  const auto write = frame({1, 6, 0, 1, 1, 4});
  frames.append(read.data(), 3);
  EXPECT_FALSE(frames.next_frame());
  frames.append(read.data() + 3, read.size() - 3);
  frames.append(write.data(), write.size());
  EXPECT_EQ(frames.next_frame(), read);
  EXPECT_EQ(frames.next_frame(), write);
  EXPECT_TRUE(frames.empty());
  const uint8_t unknown[] = {1, 0x2b, 0, 0};
  frames.append(unknown, 4);
  EXPECT_FALSE(frames.next_frame());
  EXPECT_TRUE(frames.empty()) << "a function of unknown length is dropped";
}

TEST(RtuFrames, AnswersReadsWritesAndMistakesAsAUnitOnTheBus) {
  sim::Units units;
  units[1] = sim::UnitModel();
  units[2] = sim::UnitModel();
  auto answer = [&](std::vector<uint8_t> bytes, std::optional<uint16_t> echo = std::nullopt) {
    const auto request = frame(std::move(bytes));
    return sim::answer_request(request.data(), request.size(), units, echo).reply;
  };
  EXPECT_EQ(answer({1, 3, 0, 1, 0, 2}), (std::vector<uint8_t>{1, 3, 4, 0, 240, 1, 244}));
  EXPECT_EQ(answer({2, 6, 0, 13, 0, 85}), (std::vector<uint8_t>{2, 6, 0, 13, 0, 0}));
  EXPECT_EQ(units[1].get(27), 1) << "only slave 2 stopped";
  EXPECT_EQ(answer({1, 6, 0, 1, 1, 4}, 7), (std::vector<uint8_t>{1, 6, 0, 1, 0, 7}));
  EXPECT_EQ(answer({1, 3, 0, 0, 0, 4}), (std::vector<uint8_t>{1, 0x83, 2}));
  EXPECT_EQ(answer({1, 3, 0, 1, 0, 126}), (std::vector<uint8_t>{1, 0x83, 3}));
  EXPECT_EQ(answer({1, 6, 0, 5, 0, 1}), (std::vector<uint8_t>{1, 0x86, 2}));
  EXPECT_EQ(answer({1, 4, 0, 1, 0, 1}), (std::vector<uint8_t>{1, 0x84, 1}));
  EXPECT_TRUE(answer({3, 3, 0, 1, 0, 1}).empty()) << "no such slave: silence";
  EXPECT_TRUE(answer({0, 6, 0, 1, 0, 200}).empty()) << "a broadcast gets no reply";
  EXPECT_EQ(units[1].get(1), 200);
  EXPECT_EQ(units[2].get(1), 200);
}

}  // namespace
