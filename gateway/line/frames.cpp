#include "gateway/line/frames.h"

namespace gw::line::frames {
namespace {

constexpr uint8_t kExceptionBit = 0x80;

Request request(int slave, uint8_t function, int first, int second) {
  return {static_cast<uint8_t>(slave),       function,
          static_cast<uint8_t>(first >> 8),  static_cast<uint8_t>(first & 0xff),
          static_cast<uint8_t>(second >> 8), static_cast<uint8_t>(second & 0xff)};
}

uint16_t word_at(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

// What is wrong with the frame's first two bytes, if anything.
ReplyFault check_head(const uint8_t* frame, int length, int slave, uint8_t function) {
  if (frame == nullptr || length == 0 || frame[0] != slave) return ReplyFault::kOtherSlave;
  if (length < 2) return ReplyFault::kWrongLength;
  if (frame[1] == (function | kExceptionBit))
    return length == kExceptionLength ? ReplyFault::kException : ReplyFault::kWrongLength;
  if (frame[1] != function) return ReplyFault::kOtherFunction;
  return ReplyFault::kNone;
}

const char* exception_name(int code) {
  switch (code) {
    case 1:
      return "illegal function";
    case 2:
      return "illegal data address";
    case 3:
      return "illegal data value";
    case 4:
      return "slave device failure";
    case 5:
      return "acknowledge";
    case 6:
      return "slave device busy";
    default:
      return "unknown code";
  }
}

}  // namespace

Request read_request(int slave, int address, int count) {
  return request(slave, kReadHoldingRegisters, address, count);
}

Request write_request(int slave, int address, uint16_t value) {
  return request(slave, kWriteSingleRegister, address, value);
}

ReplyFault read_reply(const uint8_t* frame, int length, int slave, int count, uint16_t* words) {
  const ReplyFault head = check_head(frame, length, slave, kReadHoldingRegisters);
  if (head != ReplyFault::kNone) return head;
  if (length != read_reply_length(count) || frame[2] != 2 * count) return ReplyFault::kWrongLength;
  for (int i = 0; i < count; ++i) words[i] = word_at(frame + 3 + 2 * i);
  return ReplyFault::kNone;
}

ReplyFault write_echo(const uint8_t* frame, int length, int slave, int address, uint16_t* value) {
  const ReplyFault head = check_head(frame, length, slave, kWriteSingleRegister);
  if (head != ReplyFault::kNone) return head;
  if (length != kEchoLength) return ReplyFault::kWrongLength;
  if (word_at(frame + 2) != address) return ReplyFault::kOtherAddress;
  *value = word_at(frame + 4);
  return ReplyFault::kNone;
}

std::string fault_text(ReplyFault fault, const uint8_t* frame, int length) {
  switch (fault) {
    case ReplyFault::kNone:
      return "ok";
    case ReplyFault::kOtherSlave:
      return "a reply from another slave";
    case ReplyFault::kException:
      return exception_text(length >= 3 ? frame[2] : 0);
    case ReplyFault::kOtherFunction:
      return "a reply of another function";
    case ReplyFault::kWrongLength:
      return "a reply of the wrong length";
    case ReplyFault::kOtherAddress:
      return "the echo of a write to another register";
  }
  return "?";
}

std::string exception_text(int code) {
  return "exception " + std::to_string(code) + " (" + exception_name(code) + ")";
}

uint16_t crc16(const uint8_t* bytes, int length) {
  uint16_t crc = 0xffff;
  for (int i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xa001 : crc >> 1;
  }
  return crc;
}

std::string hex(const uint8_t* bytes, int length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(static_cast<size_t>(length) * 3);
  for (int i = 0; i < length; ++i) {
    if (i > 0) text += ' ';
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace gw::line::frames
