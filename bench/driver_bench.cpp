// What the driver's requests cost, with the host's services doing nothing:
// a report rebuild, one 801 text between rounds, one alarm evaluation with
// all eight signals supervised, and one set-point command.
#include <string>

#include "bench/bench_main.h"
#include "bench/fixtures.h"
#include "driver/alarm_checks.h"
#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace {

// Every iteration finds a new round, so every request rebuilds first.
void BM_ReportRebuild(benchmark::State& state) {
  Norvane device;
  bench::fill_record(device.round_record);
  Json::Value* address = nullptr;
  int size = 0;
  for (auto _ : state) {
    ++device.round_count;  // a round completed since the last request
    device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size);
    benchmark::DoNotOptimize(address);
  }
}
BENCHMARK(BM_ReportRebuild);

// Between rounds: serialisation only.
void BM_ReportText(benchmark::State& state) {
  Norvane device;
  bench::fill_record(device.round_record);
  ++device.round_count;
  static char text[8192];
  int size = 0;
  for (auto _ : state) {
    device.DeviceIoControl(801, nullptr, 0, text, sizeof text, size);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_ReportText);

void BM_AlarmEvaluation(benchmark::State& state) {
  Norvane device;
  bench::fill_record(device.data);
  device.b_mode = 2;
  for (const norvane::AlarmCheck& check : norvane::kAlarmChecks) {
    device.alarm_levels[check.signal_id] = 1;
    device.alarm_thresholds[check.signal_id] = 25.0f;
  }
  for (auto _ : state) device.RunCheckThreshold();
}
BENCHMARK(BM_AlarmEvaluation);

// Parse, check, and issue the write (which the stand-in only records).
void BM_SetPointCommand(benchmark::State& state) {
  Norvane device;
  const std::string text = R"({"signal_id":"150800310010","SetValue":"26"})";
  int size = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        device.DeviceIoControl(310, text.data(), static_cast<int>(text.size()), nullptr, 0, size));
  }
}
BENCHMARK(BM_SetPointCommand);

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv); }
