// The value lookup: it serves no value and says why, by the age of the last
// completed round.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "driver/norvane.h"
#include "driver/texts_zh.h"
#include "tests/support/fake_host.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;
using fakes::captured_stdout;

// The three messages, spelled out (UTF-8).
const std::string kNotReady = "\u6570\u636e\u672a\u5c31\u7eea";      // data not ready
const std::string kTimedOut = "\u6570\u636e\u5df2\u8d85\u65f6";      // data timed out
const std::string kNotSupported = "\u4e0d\u652f\u6301\u53d8\u91cf";  // variable not supported

// What the lookup throws, through the host's view of the device.
std::string lookup_message(const VDeviceInterface& device, unsigned index = 0,
                           const std::string& name = "any") {
  try {
    device.Get_Value(index, name);
  } catch (const std::logic_error& e) {  // std::out_of_range is one
    EXPECT_NE(dynamic_cast<const std::out_of_range*>(&e), nullptr);
    return e.what();
  }
  ADD_FAILURE() << "Get_Value returned";
  return {};
}

class ValueLookup : public fakes::HostTest {
 protected:
  // The answer when the host's last_data_time is `age` seconds ago. Asks
  // again when the clock's second moved on during the question, so the age
  // is exact.
  std::string message_at_age(int64_t age) {
    for (;;) {
      const ptime before = second_clock::local_time();
      device.last_data_time = before - seconds(age);
      device.data_state = true;
      const std::string message = lookup_message(device);
      if (second_clock::local_time() == before) return message;
    }
  }

  Norvane device;
};

TEST_F(ValueLookup, DriverSaysNotReadyInTheHostsOwnWords) {
  EXPECT_STREQ(norvane::zh::kDataNotReady, host_text::kDataNotReady);
}

TEST_F(ValueLookup, IsNotReadyBeforeAnyRoundWhateverIsAsked) {
  EXPECT_EQ(lookup_message(device), kNotReady);
  EXPECT_EQ(lookup_message(device, 12345, ""), kNotReady);
}

TEST_F(ValueLookup, DoesNotSupportVariablesRightAfterAReload) {
  int taken = 0;
  captured_stdout([&] { taken = device.LoadFromCache(std::string(121, '\0')); });
  ASSERT_EQ(taken, 1);
  EXPECT_EQ(lookup_message(device, 3, "set_temperature"), kNotSupported);
}

// The host may set data_state and last_data_time itself, after rounds of
// the device: the answer follows what the host has.
TEST_F(ValueLookup, FollowsTheHostsOwnDataStateAndLastDataTime) {
  captured_stdout([&] { device.LoadFromCache(std::string(121, '\0')); });
  ASSERT_EQ(lookup_message(device), kNotSupported);
  device.data_state = false;  // the host marks the data absent
  EXPECT_EQ(lookup_message(device), kNotReady);
  device.data_state = true;
  device.last_data_time -= seconds(61);
  EXPECT_EQ(lookup_message(device), kTimedOut);
  device.last_data_time = ptime();  // not a date
  EXPECT_EQ(lookup_message(device), kTimedOut);
}

TEST_F(ValueLookup, CountsSixtySecondsAsFreshAndSixtyOneAsStale) {
  EXPECT_EQ(message_at_age(0), kNotSupported);
  EXPECT_EQ(message_at_age(60), kNotSupported);
  EXPECT_EQ(message_at_age(61), kTimedOut);
  EXPECT_EQ(message_at_age(3600), kTimedOut);
}

TEST_F(ValueLookup, CountsARoundAfterTheClockAsFresh) {
  EXPECT_EQ(message_at_age(-1), kNotSupported);
  EXPECT_EQ(message_at_age(-100000), kNotSupported);
}

// Lookups and reports on one thread while rounds end on another: every
// answer is one of the three, and (under ThreadSanitizer) no access races.
TEST_F(ValueLookup, AnswersWhileRoundsEndOnAnotherThread) {
  standin::install({});
  std::atomic<bool> done{false};
  std::thread rounds([&] {
    const std::string record(121, '\x01');
    captured_stdout([&] {
      for (int i = 0; i < 200; ++i) device.LoadFromCache(record);
    });
    done = true;
  });
  int answers = 0;
  while (!done || answers == 0) {
    const std::string message = lookup_message(device);
    EXPECT_TRUE(message == kNotReady || message == kNotSupported) << message;
    char text[8192];
    int size = 0;
    EXPECT_EQ(device.DeviceIoControl(801, nullptr, 0, text, sizeof text, size), 0);
    ++answers;
    std::this_thread::yield();  // let the rounds get the report's lock too
  }
  rounds.join();
  EXPECT_EQ(lookup_message(device), kNotSupported);
}

}  // namespace
