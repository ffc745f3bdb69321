// Rounds complete on one thread while other threads ask for the report
// (codes 801 and 803) and look a value up, as the host's threads may. Run
// under ThreadSanitizer it shows data races; in any build it shows a report
// that mixes two rounds.
//
// Every word of round n is n, so every number of a report built from one
// whole record is n (plain rows) or float(n) / 10 (tenths rows).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "driver/norvane.h"
#include "tests/support/fake_host.h"

namespace {

constexpr int kRounds = 400;

// The round number that every number of `report` stands for, or -1 when
// its numbers come from more than one round. Plain rows show n itself and
// are the largest numbers; tenths rows show float(n) / 10.
long round_shown_by(const Json::Value& report) {
  std::vector<double> numbers;
  for (const std::string& key : report.getMemberNames())
    if (report[key].isDouble()) numbers.push_back(report[key].asDouble());
  if (numbers.empty()) return -1;
  const long n = std::lround(*std::max_element(numbers.begin(), numbers.end()));
  const double tenths = static_cast<double>(static_cast<float>(n) / 10.0f);
  for (double number : numbers)
    if (number != static_cast<double>(n) && number != tenths) return -1;
  return n;
}

void complete_round(Norvane& device, uint16_t n) {
  uint16_t words[44];
  std::fill(std::begin(words), std::end(words), n);
  device.RefreshStatus();
  for (int block = 0; block < 4; ++block) {
    standin::deliver_reply(device, words, 44);
    std::this_thread::yield();  // replies come apart in time, as on a line
  }
}

class Concurrency : public fakes::HostTest {};

TEST_F(Concurrency, ReportsNeverMixTwoRoundsWhileRoundsComplete) {
  Norvane device;
  testing::internal::CaptureStdout();  // "rvSize is" of every round
  std::atomic<bool> done{false};
  std::atomic<int> mixed{0}, reports{0}, lookups{0}, addresses{0};

  std::atomic<int> readers_started{0};
  int final_round = 0;
  std::thread poller([&] {
    while (readers_started < 3) std::this_thread::yield();
    // At least kRounds rounds, and on until the readers have seen some.
    for (int n = 1; n < 60000 && (n <= kRounds || reports < 200 || lookups < 200); ++n) {
      complete_round(device, static_cast<uint16_t>(n));
      final_round = n;
    }
    done = true;
  });
  auto report_reader = [&] {
    ++readers_started;
    std::string text(8192, '\0');
    long newest_seen = 0;
    while (!done) {
      int size = 0;
      if (device.DeviceIoControl(801, nullptr, 0, &text[0], static_cast<int>(text.size()),
                                 size) != 0)
        continue;
      Json::Value report;
      ASSERT_TRUE(Json::Reader().parse(text.substr(0, static_cast<size_t>(size)), report));
      if (report.isNull()) continue;  // no round yet
      const long round = round_shown_by(report);
      if (round < 0 || round < newest_seen) ++mixed;
      newest_seen = round;
      ++reports;
    }
  };
  std::thread text_reader_a(report_reader), text_reader_b(report_reader);
  std::thread other_reader([&] {
    ++readers_started;
    const Json::Value* first = nullptr;
    while (!done) {
      const Json::Value* address = nullptr;
      int size = 0;
      if (device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size) == 0) {
        // The address itself is all this thread may use while rounds go on.
        if (first == nullptr) first = address;
        EXPECT_EQ(address, first);
        ++addresses;
      }
      try {
        device.Get_Value(0, "any");
      } catch (const std::out_of_range&) {
        ++lookups;
      }
    }
  });
  poller.join();
  text_reader_a.join();
  text_reader_b.join();
  other_reader.join();
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(mixed.load(), 0) << "a report mixed two rounds, or went back in time";
  EXPECT_GT(reports.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_GT(addresses.load(), 0);
  // After the last round, one more request shows exactly that round.
  std::string text(8192, '\0');
  int size = 0;
  ASSERT_EQ(device.DeviceIoControl(801, nullptr, 0, &text[0], 8192, size), 0);
  Json::Value report;
  ASSERT_TRUE(Json::Reader().parse(text.substr(0, static_cast<size_t>(size)), report));
  EXPECT_EQ(round_shown_by(report), final_round);
}

}  // namespace
