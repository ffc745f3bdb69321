// Settings objects given to InitSetting: any JSON text, and any text as the
// mode itself. InitSetting never throws; it copies data_id, always hands the
// settings to the host unchanged, and leaves b_mode either as it was or at
// the truncated leading number of the mode's text.
#include <cmath>
#include <cstdlib>

#include <json/json.h>

#include "driver/norvane.h"
#include "fuzz/fuzz_host.h"

namespace {

constexpr int kModeBefore = 7;

// What the mode's text form reads as, when it reads as a usable int.
bool usable_mode(const Json::Value& settings, int& mode) {
  if (!settings.isObject() || !settings.isMember("appSetting")) return false;
  const Json::Value& app = settings["appSetting"];
  if (!app.isObject() || !app.isMember("b_mode")) return false;
  const Json::Value& value = app["b_mode"];
  if (value.isNull() || value.isArray() || value.isObject()) return false;
  if (value.isDouble() && !std::isfinite(value.asDouble())) return false;
  const double number = std::strtod(value.asString().c_str(), nullptr);
  if (!std::isfinite(number) || std::trunc(number) < -2147483648.0 ||
      std::trunc(number) > 2147483647.0)
    return false;
  mode = static_cast<int>(std::trunc(number));
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::QuietHost host;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Json::Value settings;
  bool parsed = false;
  try {
    parsed = Json::Reader().parse(text, settings);
  } catch (const std::exception&) {  // nested too deep for the reader
  }
  if (!parsed) {
    settings = Json::Value(Json::objectValue);
    settings["appSetting"]["b_mode"] = text;
  }
  const Json::Value given = settings;

  Norvane device;
  device.data_id = -123456789;
  device.b_mode = kModeBefore;
  device.InitSetting(settings);

  FUZZ_REQUIRE(device.data.data_id == -123456789);
  FUZZ_REQUIRE(standin::device_log(device).init_setting_calls == 1);
  FUZZ_REQUIRE(standin::device_log(device).last_settings == given);
  int mode = 0;
  if (usable_mode(given, mode)) {
    FUZZ_REQUIRE(device.b_mode == mode);
  } else {
    FUZZ_REQUIRE(device.b_mode == kModeBefore);
  }
  FUZZ_REQUIRE(host.requests.empty() && host.announcements == 0);
  return 0;
}
