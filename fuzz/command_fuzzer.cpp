// Command texts for codes 310 and 320: any bytes, any length. No exception
// leaves the device; command_result is only ever -1, 1 or 3; a refused or
// unrecognised set point changes nothing and writes nothing; a written set
// point is ten times the text's leading integer, which has digits and lies
// within 0..3276; a recognised set point is refused exactly when its value
// has no digits, is negative or lies beyond 3276; on and off write 170 and
// 85 to register 13. The write's echo then settles the result.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <json/json.h>

#include "driver/norvane.h"
#include "fuzz/fuzz_host.h"

namespace {

constexpr int kPassedOn = 5;  // what the quiet host answers for a request passed on

// The member's text as the command would read it, if it is a string, a
// number or a boolean.
bool member_text(const Json::Value& root, const char* key, std::string& text) {
  if (!root.isObject() || !root.isMember(key)) return false;
  const Json::Value& value = root[key];
  if (value.isNull() || value.isArray() || value.isObject()) return false;
  text = value.asString();
  return true;
}

// The set point's leading integer as atoi reads it, if the text has digits
// and the integer lies within 0..3276 (its tenfold fits a signed word).
bool usable_set_point(const std::string& set_value, long& leading) {
  const char* const begin = set_value.c_str();
  char* end = nullptr;
  errno = 0;
  leading = std::strtol(begin, &end, 10);
  return end != begin && errno != ERANGE && leading >= 0 && leading <= 3276;
}

bool parsed_as_json(const std::string& text, Json::Value& root) {
  try {
    return Json::Reader().parse(text, root);
  } catch (const std::exception&) {  // nested too deep for the reader
    return false;
  }
}

void check_set_point(const std::string& text, int result, const Norvane& device) {
  Json::Value root;
  std::string id, set_value;
  const bool parsed = parsed_as_json(text, root);
  const bool recognised = parsed && member_text(root, "signal_id", id) &&
                          (id == "150800310010" || id == "150800340010") &&
                          member_text(root, "SetValue", set_value);
  long leading = 0;
  const bool usable = recognised && usable_set_point(set_value, leading);
  if (result != 0) {  // refused or passed on: nothing changed, nothing written
    FUZZ_REQUIRE(result == -1 || result == kPassedOn);
    FUZZ_REQUIRE(!usable);
    if (recognised) FUZZ_REQUIRE(result == -1);
    FUZZ_REQUIRE(!standin::outstanding_request(device) && device.step == 14);
    FUZZ_REQUIRE(device.command_result.load() == 3 && device.expected_value.load() == 4);
    return;
  }
  FUZZ_REQUIRE(usable);
  const bool temperature = id == "150800310010";
  const auto write = standin::outstanding_request(device);
  FUZZ_REQUIRE(write.has_value());
  FUZZ_REQUIRE(write->function == standin::ModbusRequest::kWriteSingleRegister);
  FUZZ_REQUIRE(write->address == (temperature ? 1 : 2));
  FUZZ_REQUIRE(write->value == static_cast<int>(leading * 10));
  FUZZ_REQUIRE(device.expected_value.load() == write->value);
  FUZZ_REQUIRE(device.step == (temperature ? 106 : 110));
  FUZZ_REQUIRE(device.command_result.load() == -1);
}

void check_on_off(int result, const Norvane& device) {
  FUZZ_REQUIRE(result == 0 || result == -1 || result == kPassedOn);
  const auto write = standin::outstanding_request(device);
  if (result != 0) {
    FUZZ_REQUIRE(!write && device.step == 320);
    FUZZ_REQUIRE(device.command_result.load() == -1);
    return;
  }
  FUZZ_REQUIRE(write && write->function == standin::ModbusRequest::kWriteSingleRegister);
  FUZZ_REQUIRE(write->address == 13);
  const bool on = write->value == 170;
  FUZZ_REQUIRE(on || write->value == 85);
  FUZZ_REQUIRE(device.step == (on ? 100 : 102) && device.expected_value.load() == (on ? 1 : 0));
}

struct PassingOnHost : fuzzing::QuietHost {
  int device_io_control(SMDVDevice&, int, const void*, int, void*, int, int&) override {
    return kPassedOn;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  PassingOnHost host;
  Norvane device;
  device.step = 14;  // a round in progress
  device.command_result = 3;
  device.expected_value = 4;
  const bool set_point = data[0] & 1;
  const uint16_t echo = static_cast<uint16_t>(data[1] | data[2] << 8);
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

  int out_size = 0;
  const int result = device.DeviceIoControl(set_point ? 310 : 320, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0, out_size);
  if (set_point)
    check_set_point(text, result, device);
  else
    check_on_off(result, device);

  // The echo arrives; a pending command is settled, anything else stays.
  const int before = device.command_result.load();
  standin::deliver_reply(device, &echo, 1);
  const int after = device.command_result.load();
  FUZZ_REQUIRE(after == -1 || after == 1 || after == 3);
  if (result == 0) FUZZ_REQUIRE(after == 1 || after == 3);
  if (result != 0) FUZZ_REQUIRE(after == before);
  return 0;
}
