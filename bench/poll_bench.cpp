// What one reply, one whole round (b_mode 1) and one reload cost the plug-in,
// with the host's services doing nothing.
#include <string>

#include "bench/bench_main.h"
#include "bench/fixtures.h"
#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace {

bench::InstantUnit g_unit;

void BM_OneReply(benchmark::State& state) {
  Norvane device;
  const uint16_t words[44] = {235, 48, 180, 55};
  for (auto _ : state) {
    device.step = norvane::kStepReadSwitches;  // a mid-round block: copy, next request
    benchmark::DoNotOptimize(standin::deliver_reply(device, words, 3));
  }
}
BENCHMARK(BM_OneReply);

void BM_FullRound(benchmark::State& state) {
  standin::install({&g_unit, nullptr, nullptr, nullptr});
  Norvane device;
  for (auto _ : state) {
    device.RefreshStatus();
    benchmark::DoNotOptimize(standin::serve_exchange(device));
  }
  standin::install({});
}
BENCHMARK(BM_FullRound);

void BM_LoadFromCache(benchmark::State& state) {
  Norvane device;
  const std::string record(121, '\x11');
  for (auto _ : state) benchmark::DoNotOptimize(device.LoadFromCache(record));
}
BENCHMARK(BM_LoadFromCache);

}  // namespace

int main(int argc, char** argv) { return bench::run(argc, argv); }
