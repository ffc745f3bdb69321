// The fault line's faults without a line: what each makes of a reply, and
// which exchanges the plan spoils.
#include <gtest/gtest.h>

#include "simulator/rtu_frames.h"
#include "tests/line/faults.h"

namespace {

using line::Fault;

std::vector<uint8_t> framed(std::vector<uint8_t> body) {
  const uint16_t crc = sim::crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc & 0xff));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

// Slave 1's reply to a read of four registers, and its echo of a write.
const std::vector<uint8_t> kReadReply = framed({1, 3, 8, 0, 240, 1, 244, 0, 10, 0, 50});
const std::vector<uint8_t> kWriteEcho = framed({1, 6, 0, 13, 0, 1});

bool valid(const std::vector<uint8_t>& frame) {
  return sim::crc_matches(frame.data(), frame.size());
}

TEST(ReplyFrameLength, FollowsTheFunctionCode) {
  EXPECT_EQ(line::reply_frame_length(kReadReply.data(), 2), 0) << "needs the byte count";
  EXPECT_EQ(line::reply_frame_length(kReadReply.data(), 3), 13);
  EXPECT_EQ(line::reply_frame_length(kWriteEcho.data(), 2), 8);
  const uint8_t exception[] = {1, 0x83, 2};
  EXPECT_EQ(line::reply_frame_length(exception, 2), 5);
  const uint8_t unknown[] = {1, 0x2b};
  EXPECT_EQ(line::reply_frame_length(unknown, 2), -1);
}

// Every fault over many draws: what reaches the gateway can never pass for
// the unit's whole reply.
TEST(Mangle, NoFaultLeavesAValidWholeReply) {
  std::mt19937 random(7);
  for (int draw = 0; draw < 2000; ++draw) {
    for (const auto& reply : {kReadReply, kWriteEcho}) {
      const auto crc = line::mangle(Fault::kBadCrc, reply, random);
      EXPECT_EQ(crc.size(), reply.size());
      EXPECT_TRUE(std::equal(reply.begin(), reply.end() - 2, crc.begin())) << "only the CRC";
      EXPECT_FALSE(valid(crc));

      const auto garbage = line::mangle(Fault::kGarbage, reply, random);
      EXPECT_GE(garbage.size(), 1u);
      EXPECT_LE(garbage.size(), reply.size() + 8);
      EXPECT_FALSE(valid(garbage));

      const auto cut = line::mangle(Fault::kCut, reply, random);
      EXPECT_GE(cut.size(), 1u);
      EXPECT_LT(cut.size(), reply.size());
      EXPECT_TRUE(std::equal(cut.begin(), cut.end(), reply.begin())) << "the reply's first bytes";
    }
  }
}

TEST(Mangle, AShortReadReplyIsAValidFrameOfFewerMarkedRegisters) {
  std::mt19937 random(3);
  for (int draw = 0; draw < 200; ++draw) {
    const auto frame = line::mangle(Fault::kShort, kReadReply, random);
    ASSERT_TRUE(valid(frame));
    EXPECT_EQ(frame[0], 1);
    EXPECT_EQ(frame[1], 3);
    EXPECT_LT(frame[2], kReadReply[2]);
    EXPECT_EQ(line::reply_frame_length(frame.data(), frame.size()), int(frame.size()));
    for (size_t i = 3; i + 2 < frame.size(); i += 2)
      EXPECT_EQ(frame[i] << 8 | frame[i + 1], line::kMarkerWord);
  }
  const auto echo = line::mangle(Fault::kShort, kWriteEcho, random);
  EXPECT_TRUE(valid(echo));
  EXPECT_EQ(echo.size(), kWriteEcho.size() - 2) << "the value field is missing";
}

TEST(Mangle, AnotherSlavesFrameIsValidAndMarked) {
  std::mt19937 random(5);
  for (int draw = 0; draw < 500; ++draw) {
    const auto frame = line::mangle(Fault::kWrongSlave, kReadReply, random);
    ASSERT_TRUE(valid(frame));
    EXPECT_NE(frame[0], 1);
    EXPECT_GE(frame[0], 1);
    EXPECT_LE(frame[0], 247);
    ASSERT_EQ(frame.size(), kReadReply.size());
    for (size_t i = 3; i + 2 < frame.size(); i += 2)
      EXPECT_EQ(frame[i] << 8 | frame[i + 1], line::kMarkerWord);
  }
  const auto echo = line::mangle(Fault::kWrongSlave, kWriteEcho, random);
  EXPECT_TRUE(valid(echo));
  EXPECT_EQ(echo[3], 13) << "the address stays";
  EXPECT_EQ(echo[4] << 8 | echo[5], line::kMarkerWord);
}

TEST(Mangle, SilentFaultsSendNothingAndALateReplyIsWhole) {
  std::mt19937 random(1);
  for (Fault fault : {Fault::kDrop, Fault::kSilence, Fault::kGone})
    EXPECT_TRUE(line::mangle(fault, kReadReply, random).empty()) << line::fault_name(fault);
  EXPECT_EQ(line::mangle(Fault::kLate, kReadReply, random), kReadReply);
}

// The exchanges of a plan: the fault of each, or nothing.
std::vector<std::optional<Fault>> run_plan(line::FaultPlan& plan, int exchanges) {
  std::vector<std::optional<Fault>> faults;
  for (int i = 0; i < exchanges; ++i) faults.push_back(plan.next_exchange());
  return faults;
}

TEST(FaultPlan, TakesTheKindsInTurnEachAloneUpToTheTotal) {
  const std::vector<Fault> kinds{Fault::kBadCrc, Fault::kDrop, Fault::kCut};
  line::FaultPlan plan({kinds, 6, 30, 2, 11});
  const auto faults = run_plan(plan, 1000);
  std::vector<Fault> order;
  int clean_run = 0;
  for (const auto& fault : faults) {
    if (!fault) {
      ++clean_run;
      continue;
    }
    EXPECT_GE(clean_run, line::kMinCleanGap) << "after fault " << order.size();
    clean_run = 0;
    order.push_back(*fault);
  }
  ASSERT_EQ(order.size(), 30u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], kinds[i % 3]) << i;
  EXPECT_TRUE(plan.finished());
  EXPECT_EQ(plan.tally(Fault::kBadCrc).faults, 10);
  EXPECT_EQ(plan.tally(Fault::kBadCrc).spoiled, 10);
  EXPECT_EQ(plan.exchanges(), 1000);
}

TEST(FaultPlan, ASilenceSpoilsItsExchangesInARow) {
  line::FaultPlan plan({{Fault::kSilence}, 5, 4, 3, 2});
  const auto faults = run_plan(plan, 200);
  int longest_run = 0;
  int run = 0;
  for (const auto& fault : faults) {
    run = fault ? run + 1 : 0;
    longest_run = std::max(longest_run, run);
  }
  EXPECT_EQ(longest_run, 3);
  EXPECT_EQ(plan.tally(Fault::kSilence).faults, 4);
  EXPECT_EQ(plan.tally(Fault::kSilence).spoiled, 12);
}

TEST(FaultPlan, SpacesFaultsAsAskedOnAverageAndRepeatsWithItsSeed) {
  line::FaultPlan plan({{Fault::kDrop}, 12, 0, 2, 99});
  line::FaultPlan same({{Fault::kDrop}, 12, 0, 2, 99});
  const auto faults = run_plan(plan, 13000);
  EXPECT_EQ(faults, run_plan(same, 13000));
  EXPECT_NEAR(plan.tally(Fault::kDrop).faults, 1000, 60) << "one in 13: twelve clean, one fault";
  EXPECT_FALSE(plan.finished()) << "no total: no end";
}

}  // namespace
