// Modbus RTU frames of the two requests that devices make, at the byte
// level: the gateway sends requests as raw frames and checks the replies
// itself, so that it can wait for a reply in short slices (a stop is never
// held up by a long response timeout), see the echo of a write (libmodbus's
// own write call neither checks nor returns it) and trace every exchange.
//
// A request here is slave, function and data; libmodbus appends the CRC. A
// reply is a frame as libmodbus receives it: CRC checked and still attached,
// or length 0 for a frame of another slave (which libmodbus drops).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace gw::line::frames {

inline constexpr uint8_t kReadHoldingRegisters = 3;
inline constexpr uint8_t kWriteSingleRegister = 6;
inline constexpr int kCrcLength = 2;

using Request = std::array<uint8_t, 6>;
// A request on the wire, its CRC appended.
inline constexpr int kRequestLength = 6 + kCrcLength;

// Function 3: `count` registers (1..125) from `address`.
Request read_request(int slave, int address, int count);
// Function 6: `value` to register `address`.
Request write_request(int slave, int address, uint16_t value);

// Why a reply is not the answer to the request.
enum class ReplyFault {
  kNone,
  kOtherSlave,     // from another slave address
  kException,      // the unit refused with an exception code
  kOtherFunction,  // a frame of another function
  kWrongLength,    // more or fewer registers than asked, or a short frame
  kOtherAddress,   // the echo of a write to another register
};

// The length on the wire of the answer to a read of `count` registers
// and of a write's echo (an exception reply is shorter).
inline constexpr int read_reply_length(int count) { return 3 + 2 * count + kCrcLength; }
inline constexpr int kEchoLength = 6 + kCrcLength;       // slave, function, address, value
inline constexpr int kExceptionLength = 3 + kCrcLength;  // slave, function | 0x80, code

// The registers of a reply to read_request(slave, _, count), into `words`
// (room for `count`), when it is one.
ReplyFault read_reply(const uint8_t* frame, int length, int slave, int count, uint16_t* words);

// The value field of the echo of write_request(slave, address, _), into
// `value`, when the frame is one.
ReplyFault write_echo(const uint8_t* frame, int length, int slave, int address, uint16_t* value);

// "exception 2 (illegal data address)", "another slave's reply", ...
std::string fault_text(ReplyFault fault, const uint8_t* frame, int length);
// "exception 4 (slave device failure)"
std::string exception_text(int code);

// The Modbus CRC-16 as it goes on the wire (low byte first).
uint16_t crc16(const uint8_t* bytes, int length);

// "01 03 00 01 00 04 15 c9"
std::string hex(const uint8_t* bytes, int length);

}  // namespace gw::line::frames
