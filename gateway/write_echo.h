// A single-register write (function 6) at the byte level, for the gateway
// to get at the unit's echo: libmodbus's own write call neither checks the
// echo nor returns it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace gw {

// Slave, function 6, register address, value: libmodbus appends the CRC.
std::array<uint8_t, 6> write_request(int slave, int address, uint16_t value);

// The value field of a confirmation frame as libmodbus receives it (CRC
// already checked, still attached), when the frame is the echo of a write
// to `address` by `slave`; nothing for an exception, another slave's or
// function's frame, another address or a frame of the wrong length.
std::optional<uint16_t> echo_value(const uint8_t* frame, int length, int slave, int address);

}  // namespace gw
