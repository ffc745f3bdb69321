// Cached records given to LoadFromCache: any bytes, any length. Exactly 121
// bytes are taken whole (the stamp aside) and complete one round; anything
// else changes nothing and calls no host service.
#include <cstring>

#include "driver/norvane.h"
#include "fuzz/fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::QuietHost host;
  Norvane device;
  device.data.heartbeat = 0x5a5a;
  Norvane_Data_t before;
  std::memcpy(&before, &device.data, sizeof before);

  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const int taken = device.LoadFromCache(bytes);
  const auto* now = reinterpret_cast<const unsigned char*>(&device.data);

  if (size != sizeof(Norvane_Data_t)) {
    FUZZ_REQUIRE(taken == 0);
    FUZZ_REQUIRE(std::memcmp(&before, &device.data, sizeof before) == 0);
    FUZZ_REQUIRE(host.announcements == 0 && host.saved_lengths.empty());
    FUZZ_REQUIRE(!device.data_state);
    return 0;
  }
  FUZZ_REQUIRE(taken == 1);
  FUZZ_REQUIRE(std::memcmp(now, data, 114) == 0);  // data_id and the 55 words
  const TTime stamp = get_ttime(device.last_data_time);
  FUZZ_REQUIRE(std::memcmp(now + 114, &stamp, sizeof stamp) == 0);
  FUZZ_REQUIRE(host.announcements == 1 && host.announced.size() == 121);
  FUZZ_REQUIRE(std::memcmp(host.announced.data(), now, 121) == 0);
  FUZZ_REQUIRE(host.saved_lengths == std::vector<int>{121});
  FUZZ_REQUIRE(device.data_state && device.round_count == 1);
  return 0;
}
