#include "gateway/write_echo.h"

namespace gw {
namespace {
constexpr uint8_t kWriteSingleRegister = 6;
constexpr int kEchoLength = 8;  // slave, function, address, value, CRC
}  // namespace

std::array<uint8_t, 6> write_request(int slave, int address, uint16_t value) {
  return {static_cast<uint8_t>(slave),        kWriteSingleRegister,
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xff),
          static_cast<uint8_t>(value >> 8),   static_cast<uint8_t>(value & 0xff)};
}

std::optional<uint16_t> echo_value(const uint8_t* frame, int length, int slave, int address) {
  if (frame == nullptr || length != kEchoLength) return std::nullopt;
  if (frame[0] != slave || frame[1] != kWriteSingleRegister) return std::nullopt;
  if ((frame[2] << 8 | frame[3]) != address) return std::nullopt;
  return static_cast<uint16_t>(frame[4] << 8 | frame[5]);
}

}  // namespace gw
