// Heap allocations of the plug-in's paths. This binary counts every
// operator new of the process.
//
// The reply path copies bytes and nothing else: no heap allocation on any
// poll step up to the end of the round, nor on a write's acknowledgement.
// A whole round with all eight alarms supervised, and the report between
// and after rounds, allocate next to nothing once the first round has
// created the host's map entries.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <streambuf>

#include <gtest/gtest.h>

#include "driver/alarm_checks.h"
#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements pair malloc with free. GCC, seeing operator delete call
// free on what it takes for operator new's memory, warns of a mismatch when
// it inlines them (sanitizer builds); the pairing is the replacement's own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// Stops at the end of the round, so that what is counted is the reply path
// alone, up to the call of RoundDone.
class ReplyPathOnly : public Norvane {
 public:
  void RoundDone() override { ++rounds; }
  int rounds = 0;
};

template <typename Action>
long allocations_during(Action&& action) {
  const long before = g_allocations.load();
  action();
  return g_allocations.load() - before;
}

TEST(ReplyPath, AllocatesNothingOnAnyPollStep) {
  ReplyPathOnly device;
  const uint16_t words[44] = {240, 50, 10, 5};
  device.RefreshStatus();
  for (int step = 11; step <= 14; ++step) {
    ASSERT_EQ(device.step, step);
    EXPECT_EQ(allocations_during([&] { standin::deliver_reply(device, words, 44); }), 0)
        << "step " << step;
  }
  EXPECT_EQ(device.rounds, 1);
}

TEST(ReplyPath, AllocatesNothingOnAnAcknowledgement) {
  ReplyPathOnly device;
  const uint16_t echo = 1;
  for (int step : {100, 102, 106, 110, 320}) {
    device.step = step;
    EXPECT_EQ(allocations_during([&] { standin::deliver_reply(device, &echo, 1); }), 0)
        << "step " << step;
  }
}

// A unit that answers every read at once, with a warm return air and the
// floor-water flag set.
class InstantUnit : public standin::ModbusLink {
 public:
  InstantUnit() {
    registers[22] = 262;
    registers[23] = 655;
    registers[31] = 1;
  }
  int transact(SPModbus&, const standin::ModbusRequest& request, uint16_t* words) override {
    std::memcpy(words, registers.data() + request.address, 2 * static_cast<size_t>(request.count));
    return request.count;
  }
  std::array<uint16_t, 66> registers{};
};

// Standard output that is dropped without being stored.
class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class Rounds : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::install({&unit, nullptr, nullptr, nullptr});
    std::cout.rdbuf(&discarded);  // the "rvSize is" lines
    device.b_mode = 2;
    for (const norvane::AlarmCheck& check : norvane::kAlarmChecks) {
      device.alarm_levels[check.signal_id] = 1;
      device.alarm_thresholds[check.signal_id] = 25.0f;
    }
    poll_round();  // the first round may create what later rounds reuse
  }
  void TearDown() override {
    std::cout.rdbuf(kept_stdout);
    standin::install({});
  }
  void poll_round() {
    device.RefreshStatus();
    ASSERT_EQ(standin::serve_exchange(device).replies, 4);
  }
  int report(int code, void* out, int out_len) {
    int size = 0;
    return device.DeviceIoControl(code, nullptr, 0, out, out_len, size);
  }

  InstantUnit unit;
  Norvane device;
  DiscardBuffer discarded;
  std::streambuf* kept_stdout = std::cout.rdbuf();
  char text[8192];
};

// The one allocation: the buffer of the alarm detail that T and H share.
TEST_F(Rounds, AllocateAtMostOnceInARoundWithEveryAlarmSupervised) {
  const size_t levels = device.alarm_levels.size();
  for (int i = 0; i < 3; ++i) {
    EXPECT_LE(allocations_during([&] { poll_round(); }), 1) << "round " << i;
  }
  EXPECT_EQ(device.alarm_levels.size(), levels);
}

// Only the update time text can change from one rebuild to the next here;
// the other words stay in place.
TEST_F(Rounds, RebuildTheReportWithAtMostOneAllocation) {
  ASSERT_EQ(report(801, text, sizeof text), 0);
  poll_round();
  Json::Value* address = nullptr;
  EXPECT_LE(allocations_during([&] { report(803, &address, sizeof address); }), 1);
  EXPECT_EQ(device.report_builds, 2u);
}

TEST_F(Rounds, HandOutTheReportsAddressWithoutAllocating) {
  Json::Value* address = nullptr;
  ASSERT_EQ(report(803, &address, sizeof address), 0);
  EXPECT_EQ(allocations_during([&] { report(803, &address, sizeof address); }), 0);
}

}  // namespace
