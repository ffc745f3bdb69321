// A long run of one device through the stand-in: rounds with b_mode 2 and all
// eight alarm signals supervised, a status report after every round and a
// command every hundred rounds. It checks that nothing grows: the heap in use
// after the last round equals the heap in use after round 1000, and it prints
// the time per round.
//
//   soak [ROUNDS]      (default 1000000; at least 2000)
#include <malloc.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/norvane.h"
#include "standin/serial_layer.h"
#include "standin/services.h"

namespace {

// The unit: answers at once; its return air swings through the alarm limits
// so that alarms are raised and cleared; it echoes writes as a real unit does.
class SwingingUnit : public standin::ModbusLink {
 public:
  int transact(SPModbus&, const standin::ModbusRequest& request, uint16_t* words) override {
    if (request.function == standin::ModbusRequest::kWriteSingleRegister) {
      registers[request.address] = static_cast<uint16_t>(request.value);
      if (request.address == 13) registers[27] = request.value == 170 ? 1 : 0;
      words[0] = request.address == 13 ? registers[27] : registers[request.address];
      return 1;
    }
    std::memcpy(words, &registers[request.address], 2 * static_cast<size_t>(request.count));
    return request.count;
  }
  void next_round(long round) {
    registers[22] = static_cast<uint16_t>(150 + round % 200);   // 15.0 .. 34.9 C
    registers[23] = static_cast<uint16_t>(300 + round % 400);   // 30.0 .. 69.9 %
    registers[31] = static_cast<uint16_t>((round / 7) % 2);     // water on the floor
    registers[42] = static_cast<uint16_t>((round / 11) % 2);    // humidifier fault
    registers[30] = static_cast<uint16_t>((round / 13) % 2);    // filter clogged
    registers[39] = static_cast<uint16_t>((round / 17) % 2);    // fan overload
    registers[45] = static_cast<uint16_t>(round);               // heartbeat
  }
  std::array<uint16_t, 70> registers{};
};

// Sinks and checks that keep nothing but counts.
class CountingHost : public standin::RecordSink, public standin::CheckService,
                     public standin::ControlService {
 public:
  bool announce(SMDVDevice&, int, const void*, int, bool) override { return ++records, true; }
  bool save_history(SMDVDevice&, const void*, int) override { return true; }
  bool ao_report(SMDVDevice&, const std::string&, float) override { return false; }
  bool threshold(SMDVDevice&, const std::string&, const std::string&, float, int) override {
    return false;
  }
  bool threshold_bool(SMDVDevice&, int, const std::string&, const std::string&,
                      const std::string&, const std::string&, bool active,
                      unsigned short) override {
    ++alarm_reports;
    if (active) ++active_reports;
    return active;
  }
  bool batch_threshold(SMDVDevice&, std::vector<rule_value>&) override { return false; }
  int device_io_control(SMDVDevice&, int, const void*, int, void*, int, int&) override {
    return 0;
  }
  long records = 0, alarm_reports = 0, active_reports = 0;
};

const char* const kSignals[] = {"120800090010", "120800100010", "120800120010", "120800130010",
                                "120800150010", "120800230010", "120800260010", "120800240010"};

size_t heap_in_use() { return mallinfo2().uordblks; }

// One command, its write and echo, and the result query; returns the result.
int command(Norvane& device, long round) {
  static const std::string texts[] = {
      R"({"signal_id":"150800310010","SetValue":"24"})",
      R"({"signal_id":"150800340010","SetValue":"50"})",
      R"({"signal_id":"140800300010"})",
      R"({"signal_id":"140800280010"})",
  };
  const std::string& text = texts[(round / 100) % 4];
  const int code = text.find("1408") != std::string::npos ? 320 : 310;
  int size = 0;
  if (device.DeviceIoControl(code, text.data(), static_cast<int>(text.size()), nullptr, 0, size) != 0)
    return -2;
  standin::serve_exchange(device);
  int result = 0;
  device.DeviceIoControl(1, nullptr, 0, &result, sizeof result, size);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (rounds < 2000) {
    std::fprintf(stderr, "usage: soak [ROUNDS >= 2000]\n");
    return 2;
  }
  // The device prints a line per round; keep it out of the report.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;

  SwingingUnit unit;
  CountingHost host;
  standin::install({&unit, &host, &host, &host});
  Norvane device;
  Json::Value settings;
  settings["appSetting"]["b_mode"] = "2";
  device.InitSetting(settings);
  for (int i = 0; i < 8; ++i) {
    device.alarm_levels[kSignals[i]] = 1 + i % 3;
    if (i < 4) device.alarm_thresholds[kSignals[i]] = i % 2 == 0 ? 28.0f : 18.0f;
  }
  device.alarm_thresholds[kSignals[2]] = 60.0f;
  device.alarm_thresholds[kSignals[3]] = 40.0f;

  std::string report(4096, '\0');
  size_t heap_at_1000 = 0;
  long failed_commands = 0, bad_reports = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long round = 1; round <= rounds; ++round) {
    unit.next_round(round);
    device.RefreshStatus();
    if (standin::serve_exchange(device).replies != 4) ++bad_reports;
    int size = 0;
    if (device.DeviceIoControl(801, nullptr, 0, &report[0], static_cast<int>(report.size()),
                               size) != 0)
      ++bad_reports;
    if (round % 100 == 0 && command(device, round) != 1) ++failed_commands;
    if (round == 1000) heap_at_1000 = heap_in_use();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const size_t heap_at_end = heap_in_use();
  standin::install({});

  std::fprintf(stderr,
               "soak: %ld rounds, %.2f us per round; heap in use after round 1000: %zu bytes, "
               "after round %ld: %zu bytes; %ld records, %ld alarm reports (%ld active), "
               "%ld failed commands, %ld bad rounds or reports\n",
               rounds, 1e6 * seconds / static_cast<double>(rounds), heap_at_1000, rounds,
               heap_at_end, host.records, host.alarm_reports, host.active_reports,
               failed_commands, bad_reports);
  const bool ok = heap_at_end == heap_at_1000 && failed_commands == 0 && bad_reports == 0 &&
                  host.records == rounds && host.alarm_reports == 8 * rounds;
  return ok ? 0 : 1;
}
