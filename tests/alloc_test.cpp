// The reply path copies bytes and nothing else: no heap allocation on any
// poll step up to the end of the round, nor on a write's acknowledgement.
// This binary counts every operator new of the process.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

}  // namespace
