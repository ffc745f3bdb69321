// Runs one of the plug-in's paths COUNT times, with the host's services
// doing nothing, and does nothing else: what bench/path_instructions.sh runs
// twice under an emulator that counts every instruction, the difference of
// the two runs being the instructions of COUNT more passes of the path.
//   reply    one reply (a mid-round block: copy, next request)
//   round    one whole round, b_mode 1 (four replies, end of round)
//   alarms   one alarm evaluation, all eight signals supervised
//   report   one report rebuild (code 803 after a new round)
//   command  one set-point command (parse, checks, write issued)
// Usage: path_runs reply|round|alarms|report|command COUNT
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>

#include "bench/bench_main.h"
#include "bench/fixtures.h"
#include "driver/alarm_checks.h"
#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace {

void run_replies(long count) {
  Norvane device;
  const uint16_t words[44] = {235, 48, 180, 55};
  for (long i = 0; i < count; ++i) {
    device.step = norvane::kStepReadSwitches;
    benchmark::DoNotOptimize(standin::deliver_reply(device, words, 3));
  }
}

void run_rounds(long count) {
  static bench::InstantUnit unit;
  standin::install({&unit, nullptr, nullptr, nullptr});
  Norvane device;
  for (long i = 0; i < count; ++i) {
    device.RefreshStatus();
    benchmark::DoNotOptimize(standin::serve_exchange(device));
  }
  standin::install({});
}

void run_alarms(long count) {
  Norvane device;
  bench::fill_record(device.data);
  device.b_mode = 2;
  for (const norvane::AlarmCheck& check : norvane::kAlarmChecks) {
    device.alarm_levels[check.signal_id] = 1;
    device.alarm_thresholds[check.signal_id] = 25.0f;
  }
  for (long i = 0; i < count; ++i) device.RunCheckThreshold();
}

void run_reports(long count) {
  Norvane device;
  bench::fill_record(device.round_record);
  Json::Value* address = nullptr;
  int size = 0;
  for (long i = 0; i < count; ++i) {
    ++device.round_count;
    device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size);
    benchmark::DoNotOptimize(address);
  }
}

void run_commands(long count) {
  Norvane device;
  const std::string text = R"({"signal_id":"150800310010","SetValue":"26"})";
  int size = 0;
  for (long i = 0; i < count; ++i) {
    benchmark::DoNotOptimize(
        device.DeviceIoControl(310, text.data(), static_cast<int>(text.size()), nullptr, 0, size));
  }
}

struct Path {
  const char* name;
  void (*run)(long count);
};
constexpr Path kPaths[] = {{"reply", run_replies},
                           {"round", run_rounds},
                           {"alarms", run_alarms},
                           {"report", run_reports},
                           {"command", run_commands}};

}  // namespace

int main(int argc, char** argv) {
  const char* usage = "usage: path_runs reply|round|alarms|report|command COUNT\n";
  if (argc != 3) return std::cerr << usage, 2;
  char* end = nullptr;
  const long count = std::strtol(argv[2], &end, 10);
  if (*end != '\0' || count < 0) return std::cerr << usage, 2;
  for (const Path& path : kPaths) {
    if (std::strcmp(path.name, argv[1]) != 0) continue;
    bench::DiscardBuffer discard;  // the rounds' "rvSize is" lines
    std::streambuf* standard = std::cout.rdbuf(&discard);
    path.run(count);
    std::cout.rdbuf(standard);
    return 0;
  }
  return std::cerr << usage, 2;
}
