#include "simulator/rtu_frames.h"

namespace sim {
namespace {

enum Function : uint8_t { kReadHoldingRegisters = 3, kWriteSingleRegister = 6 };
enum Exception : uint8_t { kIllegalFunction = 1, kIllegalAddress = 2, kIllegalValue = 3 };
constexpr int kBroadcast = 0;
constexpr int kMaxReadCount = 125;

uint16_t word_at(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

void put_word(std::vector<uint8_t>& out, uint16_t word) {
  out.push_back(static_cast<uint8_t>(word >> 8));
  out.push_back(static_cast<uint8_t>(word & 0xff));
}

std::vector<uint8_t> exception_reply(uint8_t slave, uint8_t function, uint8_t code) {
  return {slave, static_cast<uint8_t>(function | 0x80), code};
}

std::vector<uint8_t> read_reply(uint8_t slave, const UnitModel& unit, int address, int count) {
  if (count < 1 || count > kMaxReadCount)
    return exception_reply(slave, kReadHoldingRegisters, kIllegalValue);
  uint16_t words[kMaxReadCount];
  if (!unit.read(address, count, words))
    return exception_reply(slave, kReadHoldingRegisters, kIllegalAddress);
  std::vector<uint8_t> reply{slave, kReadHoldingRegisters, static_cast<uint8_t>(2 * count)};
  for (int i = 0; i < count; ++i) put_word(reply, words[i]);
  return reply;
}

Answer write_answer(uint8_t slave, UnitModel& unit, int address, uint16_t value,
                    std::optional<uint16_t> echo_override) {
  Answer answer;
  const WriteResult result = unit.write(address, value);
  answer.note = "slave " + std::to_string(slave) + " register " + std::to_string(address) + " <- " +
                std::to_string(value);
  if (result.refusal) {
    answer.reply =
        exception_reply(slave, kWriteSingleRegister, static_cast<uint8_t>(*result.refusal));
    answer.note += ": refused";
    return answer;
  }
  const uint16_t echo = echo_override.value_or(result.echo);
  answer.reply = {slave, kWriteSingleRegister};
  put_word(answer.reply, static_cast<uint16_t>(address));
  put_word(answer.reply, echo);
  answer.note += ", echo " + std::to_string(echo);
  return answer;
}

}  // namespace

uint16_t crc16(const uint8_t* bytes, size_t length) {
  uint16_t crc = 0xffff;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xa001 : crc >> 1;
  }
  return crc;
}

int request_frame_length(const uint8_t* bytes, size_t have) {
  if (have < 2) return 0;
  switch (bytes[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return 8;  // slave, function, address, count or value, CRC
    case 15:
    case 16:
      // slave, function, address, count, byte count, data, CRC
      return have < 7 ? 0 : 9 + bytes[6];
    default:
      return -1;
  }
}

bool crc_matches(const uint8_t* frame, size_t length) {
  if (length < 4) return false;
  const uint16_t crc = crc16(frame, length - 2);
  return frame[length - 2] == (crc & 0xff) && frame[length - 1] == (crc >> 8);
}

std::optional<std::vector<uint8_t>> FrameAssembler::next_frame() {
  const int length = request_frame_length(buffer_.data(), buffer_.size());
  if (length < 0) buffer_.clear();
  if (length <= 0 || buffer_.size() < static_cast<size_t>(length)) return std::nullopt;
  std::vector<uint8_t> frame(buffer_.begin(), buffer_.begin() + length);
  buffer_.erase(buffer_.begin(), buffer_.begin() + length);
  return frame;
}

Answer answer_request(const uint8_t* frame, size_t length, Units& units,
                      std::optional<uint16_t> echo_override) {
  const uint8_t slave = frame[0];
  const uint8_t function = frame[1];
  if (slave == kBroadcast) {
    Answer broadcast;
    if (function == kWriteSingleRegister && length == 8)
      for (auto& [address, unit] : units)
        broadcast.note += write_answer(static_cast<uint8_t>(address), unit, word_at(frame + 2),
                                       word_at(frame + 4), echo_override)
                              .note +
                          "; ";
    return broadcast;
  }
  const auto found = units.find(slave);
  if (found == units.end()) return {};  // another unit's request
  UnitModel& unit = found->second;
  if (function == kReadHoldingRegisters && length == 8)
    return {read_reply(slave, unit, word_at(frame + 2), word_at(frame + 4)), {}};
  if (function == kWriteSingleRegister && length == 8)
    return write_answer(slave, unit, word_at(frame + 2), word_at(frame + 4), echo_override);
  return {exception_reply(slave, function, kIllegalFunction), {}};
}

}  // namespace sim
