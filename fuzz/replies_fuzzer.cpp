// Sequences of replies through process_payload: random words at random
// steps, rounds restarted at random, reloads in between. A model of the
// record says which bytes each reply may change; the device must agree with
// it after every operation, and command_result is only ever -1, 1 or 3.
#include <array>
#include <cstring>

#include "driver/norvane.h"
#include "fuzz/fuzz_host.h"

namespace {

using fuzzing::ByteReader;

// Steps worth hitting often; any other 16-bit value is tried too.
constexpr int kSteps[] = {11, 12, 13, 14, 100, 102, 106, 110, 320, 0, 15, 99};

struct Model {
  unsigned char record[121] = {};
  std::array<uint16_t, SPModbus::kMaxRegisters> rx{};
  int step = 0;
  int command_result = -1;
  int rounds = 0;
};

void check_against(const Model& model, const Norvane& device, const fuzzing::QuietHost& host) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&device.data);
  FUZZ_REQUIRE(std::memcmp(bytes, model.record, 114) == 0);
  FUZZ_REQUIRE(device.step == model.step);
  const int result = device.command_result.load();
  FUZZ_REQUIRE(result == -1 || result == 1 || result == 3);
  FUZZ_REQUIRE(result == model.command_result);
  FUZZ_REQUIRE(host.announcements == model.rounds);
  FUZZ_REQUIRE(static_cast<int>(host.saved_lengths.size()) == model.rounds);
}

// The reply as the model expects it to be taken; returns process_payload's result.
int model_reply(Model& model, const Norvane& device) {
  const int step = model.step;
  if (step >= 11 && step <= 14) {
    const norvane::RegisterBlock& block = norvane::kPollBlocks[step - 11];
    std::memcpy(model.record + block.record_offset, model.rx.data(), 2 * block.count);
    if (step == 14) {
      ++model.rounds;
      return 0;
    }
    model.step = step + 1;
    return 1;
  }
  const uint16_t echo = model.rx[0];
  bool accepted;
  switch (step) {
    case 100: accepted = echo == 1; break;
    case 102: accepted = echo == 0; break;
    case 106:
    case 110: accepted = static_cast<int>(echo) == device.expected_value.load(); break;
    default: return 1;
  }
  model.command_result = accepted ? 1 : 3;
  return 0;
}

void reply(ByteReader& in, Model& model, Norvane& device) {
  const int count = in.byte() % (SPModbus::kMaxRegisters + 1);
  uint16_t words[SPModbus::kMaxRegisters];
  for (int i = 0; i < count; ++i) words[i] = in.word();
  // The host's layer overwrites only the words of this reply.
  std::memcpy(model.rx.data(), words, sizeof(uint16_t) * count);
  const int expected = model_reply(model, device);
  FUZZ_REQUIRE(standin::deliver_reply(device, words, count) == expected);
}

void reload(ByteReader& in, Model& model, Norvane& device) {
  const bool whole = in.byte() & 1;
  const std::string bytes = in.text(whole ? 121 : in.byte());
  if (device.LoadFromCache(bytes) == 1) {
    std::memcpy(model.record, bytes.data(), 121);
    ++model.rounds;
  } else {
    FUZZ_REQUIRE(bytes.size() != 121);
  }
}

// A command between replies: it moves the step and settles nothing yet;
// the record stays as it is. What commands write is the command target's
// concern; here the device's own step and result are taken over.
void command(ByteReader& in, Model& model, Norvane& device) {
  static const char* const kTexts[] = {
      R"({"signal_id":"150800310010","SetValue":"26"})", R"({"signal_id":"150800340010","SetValue":"-5"})",
      R"({"signal_id":"140800280010"})",                 R"({"signal_id":"140800300010"})",
      R"({"signal_id":"150800310010","SetValue":"3277"})", R"([1])"};
  const uint8_t pick = in.byte();
  const std::string text =
      pick < sizeof kTexts / sizeof kTexts[0] ? std::string(kTexts[pick]) : in.text(in.byte() % 64);
  int out_size = 0;
  const int code = in.byte() & 1 ? 310 : 320;
  const int result =
      device.DeviceIoControl(code, text.data(), static_cast<int>(text.size()), nullptr, 0, out_size);
  model.step = device.step;
  model.command_result = device.command_result.load();
  if (result == 0) {  // a write went out: its echo is awaited
    FUZZ_REQUIRE(model.command_result == -1);
    FUZZ_REQUIRE(model.step == 100 || model.step == 102 || model.step == 106 || model.step == 110);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::QuietHost host;
  Norvane device;
  Model model;
  ByteReader in(data, size);
  for (int ops = 0; !in.empty() && ops < 256; ++ops) {
    switch (in.byte() % 6) {
      case 0:
        FUZZ_REQUIRE(device.RefreshStatus() == 1);
        model.step = 11;
        break;
      case 1: {
        const uint8_t pick = in.byte();
        model.step = device.step =
            pick < sizeof kSteps / sizeof kSteps[0] ? kSteps[pick] : static_cast<int16_t>(in.word());
        break;
      }
      case 2:
        reply(in, model, device);
        break;
      case 3:
        device.expected_value = static_cast<int16_t>(in.word()) * (in.byte() & 1 ? 1 : 3);
        break;
      case 4:
        reload(in, model, device);
        break;
      case 5:
        command(in, model, device);
        break;
    }
    check_against(model, device, host);
  }
  return 0;
}
