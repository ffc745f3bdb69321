// DeviceIoControl with any code and any buffer: sizes negative, zero, too
// small, exact or large, a null buffer, with rounds completing in between.
// Every buffer is exactly as large as the caller says, so AddressSanitizer
// sees any byte written past it. Properties: out_size says what was written
// or is needed; the 801 text always parses back as JSON (an object once a
// round completed) and is the same between rounds; 803 always names the
// same report; the result query writes 4 bytes or none.
#include <cstring>
#include <memory>

#include <json/json.h>

#include "driver/norvane.h"
#include "fuzz/fuzz_host.h"

namespace {

using fuzzing::ByteReader;

int pick_code(ByteReader& in) {
  switch (in.byte() % 6) {
    case 0: case 1: return 801;
    case 2: return 803;
    case 3: return 310 + 10 * (in.byte() & 1);
    case 4: return static_cast<int16_t>(in.word());
    default: return static_cast<int>(in.word() | in.word() << 16);
  }
}

int pick_length(ByteReader& in) {
  const uint8_t kind = in.byte();
  if (kind < 16) return -static_cast<int>(in.word()) - (kind == 0 ? 0x7fff0000 : 0);
  if (kind < 32) return 0;
  return static_cast<int>(in.word() % 8192);
}

struct Checker {
  std::string last_text;
  unsigned text_round = ~0u;
};

void complete_round(ByteReader& in, Norvane& device) {
  uint16_t words[44];
  for (uint16_t& w : words) w = in.word();
  device.RefreshStatus();
  for (int block = 0; block < 4; ++block) standin::deliver_reply(device, words, 44);
}

void request(ByteReader& in, Norvane& device, Checker& checker) {
  const int code = pick_code(in);
  const int out_len = pick_length(in);
  const bool null_out = (in.byte() & 7) == 0;
  const std::string text = in.text(in.byte());
  // Exactly out_len bytes (none for 0 or less), or no buffer at all.
  const size_t capacity = out_len > 0 ? static_cast<size_t>(out_len) : 0;
  std::unique_ptr<unsigned char[]> buffer(null_out ? nullptr : new unsigned char[capacity]);
  unsigned char* out = buffer.get();
  int out_size = -12345;
  const int result = device.DeviceIoControl(code, text.data(), static_cast<int>(text.size()),
                                            out, out_len, out_size);
  if (code == 801) {
    FUZZ_REQUIRE(out_size > 0);
    FUZZ_REQUIRE(result == ((out != nullptr && out_len >= out_size) ? 0 : -1));
    if (result != 0) return;
    const std::string shown(reinterpret_cast<const char*>(out), static_cast<size_t>(out_size));
    Json::Value report;
    FUZZ_REQUIRE(Json::Reader().parse(shown, report));
    FUZZ_REQUIRE(shown.back() == '\n');
    FUZZ_REQUIRE(device.round_count == 0 ? report.isNull() : report.isObject());
    if (checker.text_round == device.round_count) FUZZ_REQUIRE(shown == checker.last_text);
    checker.last_text = shown;
    checker.text_round = device.round_count;
  } else if (code == 803) {
    FUZZ_REQUIRE(out_size == static_cast<int>(sizeof(void*)));
    FUZZ_REQUIRE(result == ((out != nullptr && out_len >= out_size) ? 0 : -1));
    if (result != 0) return;
    const Json::Value* address = nullptr;
    std::memcpy(&address, out, sizeof address);
    FUZZ_REQUIRE(address == &device.report);
  } else if (code != 310 && code != 320) {
    const bool room = out != nullptr && out_len >= 4;
    FUZZ_REQUIRE(out_size == (room ? 4 : 0));
    if (room) {
      int answered;
      std::memcpy(&answered, out, sizeof answered);
      FUZZ_REQUIRE(answered == device.command_result.load());
    }
  }
  const int command_result = device.command_result.load();
  FUZZ_REQUIRE(command_result == -1 || command_result == 1 || command_result == 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::QuietHost host;
  Norvane device;
  Checker checker;
  ByteReader in(data, size);
  for (int ops = 0; !in.empty() && ops < 64; ++ops) {
    if (in.byte() % 4 == 0)
      complete_round(in, device);
    else
      request(in, device, checker);
  }
  return 0;
}
