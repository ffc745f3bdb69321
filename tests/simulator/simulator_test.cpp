// The simulated unit without a line: its registers and writes, scenarios,
// and the RTU frames it takes and answers.
#include <gtest/gtest.h>

#include "simulator/rtu_frames.h"
#include "simulator/scenario.h"
#include "simulator/sim_options.h"
#include "simulator/unit_model.h"
#include "simulator/wire_time.h"

namespace {

TEST(UnitModel, SwitchesWithOnOffWordsAndAcknowledgesWithTheRunStateInStateMode) {
  sim::UnitModel unit(sim::OnOffEcho::kRunState);
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

TEST(UnitModel, AcknowledgesOnOffWithTheWordWrittenAsAStandardUnitByDefault) {
  sim::UnitModel unit;
  EXPECT_EQ(unit.write(13, 85).echo, 85);
  EXPECT_FALSE(unit.running());
  EXPECT_EQ(unit.write(13, 170).echo, 170);
  EXPECT_TRUE(unit.running());
  EXPECT_EQ(unit.write(13, 1).refusal, sim::Refusal::kIllegalValue);
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

TEST(Scenario, SetsTheUnitsOwnAlarmLimits) {
  std::string error;
  auto events = sim::parse_scenario("2 return_air_temperature_upper_limit 20\n", error);
  ASSERT_TRUE(events) << error;
  sim::ScenarioPlayer player(std::move(*events));
  sim::UnitModel unit;
  EXPECT_EQ(unit.get(7), 30) << "the unit's own upper limit at start";
  player.apply_due(2, unit);
  EXPECT_EQ(unit.get(7), 20);
}

TEST(Scenario, NamesTheBadLine) {
  const char* bad[][2] = {{"1 floor_water on\nsoon floor_water on\n", "line 2: expected"},
                          {"1 smoke on\n", "line 1: unknown flag smoke"},
                          {"1 filter_clogged maybe\n", "line 1: the state must be on or off"},
                          {"-1 filter_clogged on\n", "line 1: the time must be"},
                          {"1 filter_clogged on now\n", "line 1: unexpected text"},
                          {"1 return_air_humidity_lower_limit 101\n", "line 1: a limit must be"},
                          {"1 return_air_humidity_lower_limit on\n", "line 1: a limit must be"}};
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
    sim::AnswerFaults faults;
    faults.echo_override = echo;
    return sim::answer_request(request.data(), request.size(), units, faults).reply;
  };
  EXPECT_EQ(answer({1, 3, 0, 1, 0, 2}), (std::vector<uint8_t>{1, 3, 4, 0, 240, 1, 244}));
  EXPECT_EQ(answer({2, 6, 0, 13, 0, 85}), (std::vector<uint8_t>{2, 6, 0, 13, 0, 85}));
  EXPECT_EQ(units[2].get(27), 0);
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

TEST(RtuFrames, ExceptionFaultsAnswerInsteadOfTheUnitAndWriteNothing) {
  sim::Units units;
  units[1] = sim::UnitModel();
  sim::AnswerFaults faults;
  faults.exceptions = {{31, 2}, {13, 6}};
  auto answer = [&](std::vector<uint8_t> bytes) {
    const auto request = frame(std::move(bytes));
    return sim::answer_request(request.data(), request.size(), units, faults);
  };
  EXPECT_EQ(answer({1, 3, 0, 22, 0, 44}).reply, (std::vector<uint8_t>{1, 0x83, 2}));
  EXPECT_EQ(answer({1, 3, 0, 31, 0, 1}).reply, (std::vector<uint8_t>{1, 0x83, 2}));
  EXPECT_EQ(answer({1, 3, 0, 22, 0, 9}).reply.size(), 21u) << "22-30 do not touch 31";
  EXPECT_EQ(answer({1, 3, 0, 32, 0, 2}).reply.size(), 7u);
  const sim::Answer refused = answer({1, 6, 0, 13, 0, 85});
  EXPECT_EQ(refused.reply, (std::vector<uint8_t>{1, 0x86, 6}));
  EXPECT_EQ(refused.note, "write slave 1 register 13 <- 85: refused, exception 6");
  EXPECT_TRUE(units[1].running());

  faults.refuse_writes = 4;
  EXPECT_EQ(answer({1, 6, 0, 1, 1, 4}).reply, (std::vector<uint8_t>{1, 0x86, 4}));
  EXPECT_EQ(answer({1, 6, 0, 13, 0, 85}).reply, (std::vector<uint8_t>{1, 0x86, 6}))
      << "the register's own exception first";
  EXPECT_TRUE(answer({0, 6, 0, 1, 1, 4}).reply.empty()) << "a broadcast is never answered";
  EXPECT_EQ(units[1].get(1), 240) << "no refused write reached the unit";
}

TEST(SimOptions, ReadSlaveListsAndExceptionFaults) {
  std::string error;
  EXPECT_EQ(sim::read_slave_list("1-32", error)->size(), 32u);
  EXPECT_EQ(sim::read_slave_list("5,1-3,2", error), (std::vector<int>{1, 2, 3, 5}));
  EXPECT_EQ(sim::read_slave_list("247", error), (std::vector<int>{247}));
  for (const char* bad : {"", "0-3", "1-248", "4-2", "1,", ",", "1-", "x", "1--3", "99999999999"})
    EXPECT_FALSE(sim::read_slave_list(bad, error)) << bad;
  EXPECT_EQ(sim::read_exception_fault("31", error), std::make_pair(31, 2));
  EXPECT_EQ(sim::read_exception_fault("0:255", error), std::make_pair(0, 255));
  for (const char* bad : {"", ":2", "31:", "31:0", "31:256", "65536", "-1", "31:2:3"})
    EXPECT_FALSE(sim::read_exception_fault(bad, error)) << bad;
}

// One character: a start bit, the data bits, a parity bit, the stop bits.
TEST(WireTime, CharacterAndSilentIntervalFollowTheFraming) {
  struct Case {
    sim::Framing framing;
    long character_ns, silent_ns;
  };
  const Case cases[] = {
      {{9600, 'N', 8, 1}, 1041666, 3645833},   // 10 bits
      {{19200, 'E', 8, 1}, 572916, 2005208},   // 11 bits; 3.5 characters up to 19,200
      {{9600, 'O', 8, 2}, 1250000, 4375000},   // 12 bits
      {{1200, 'N', 7, 1}, 7500000, 26250000},  // 9 bits
      {{38400, 'N', 8, 1}, 260416, 1750000},   // above 19,200: 1.75 ms
      {{115200, 'E', 8, 1}, 95486, 1750000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::character_time(c.framing).count(), c.character_ns) << c.framing.baud;
    EXPECT_EQ(sim::silent_interval(c.framing).count(), c.silent_ns) << c.framing.baud;
  }
}

TEST(WireClock, KeepsTheSilentIntervalBothWaysAndTheTurnaround) {
  using std::chrono::milliseconds;
  using ns = sim::Nanoseconds;
  const ns character(1041666), silent(3645833);  // 9600 8N1
  const sim::TimePoint t0{std::chrono::seconds(100)};
  sim::WireClock wire({9600, 'N', 8, 1}, ns(0));
  const sim::FrameTimes request = wire.frame_in(t0, t0, 8);
  EXPECT_EQ(request.start, t0);
  EXPECT_EQ(request.end, t0 + 8 * character);
  const sim::TimePoint reply = wire.reply_start(request.end);
  EXPECT_EQ(reply, request.end + silent);
  const sim::TimePoint reply_end = wire.character_sent(reply, 92);
  EXPECT_EQ(reply_end, reply + 93 * character);
  wire.frame_out(reply_end);

  // A request that came sooner after the reply than the silent interval
  // starts when the interval has passed.
  const sim::FrameTimes next = wire.frame_in(reply_end + ns(100000), reply_end + ns(100000), 8);
  EXPECT_EQ(next.start, reply_end + silent);
  EXPECT_EQ(next.end, next.start + 8 * character);
  EXPECT_EQ(wire.turnarounds().count, 1);
  EXPECT_EQ(wire.turnarounds().within_interval, 1) << "0.1 ms after the reply";
  EXPECT_EQ(wire.turnarounds().longest, ns(100000));
  // A frame whose bytes came in over longer than its characters take ends
  // with its last byte.
  const sim::TimePoint late = next.end + milliseconds(50);
  EXPECT_EQ(wire.frame_in(late, late + milliseconds(30), 8).end, late + milliseconds(30));

  sim::WireClock slow({9600, 'N', 8, 1}, milliseconds(20));
  EXPECT_EQ(slow.reply_start(t0), t0 + milliseconds(20));
  sim::WireClock quick({9600, 'N', 8, 1}, milliseconds(1));
  EXPECT_EQ(quick.reply_start(t0), t0 + silent) << "never within the interval";
}

}  // namespace
