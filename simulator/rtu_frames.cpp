#include "simulator/rtu_frames.h"

namespace sim {
namespace {

enum Function : uint8_t { kReadHoldingRegisters = 3, kWriteSingleRegister = 6 };
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

// The code of the first exception fault on a register in [first, last].
std::optional<uint8_t> exception_for(const AnswerFaults& faults, int first, int last) {
  const auto rule = faults.exceptions.lower_bound(first);
  if (rule == faults.exceptions.end() || rule->first > last) return std::nullopt;
  return rule->second;
}

Answer read_answer(uint8_t slave, const UnitModel& unit, int address, int count,
                   const AnswerFaults& faults) {
  if (count < 1 || count > kMaxReadCount)
    return {exception_reply(slave, kReadHoldingRegisters, kIllegalDataValue), {}};
  const int last = address + count - 1;
  if (const auto code = exception_for(faults, address, last))
    return {exception_reply(slave, kReadHoldingRegisters, *code),
            "read slave " + std::to_string(slave) + " registers " + std::to_string(address) + "-" +
                std::to_string(last) + ": exception " + std::to_string(*code)};
  uint16_t words[kMaxReadCount];
  if (!unit.read(address, count, words))
    return {exception_reply(slave, kReadHoldingRegisters, kIllegalDataAddress), {}};
  std::vector<uint8_t> reply{slave, kReadHoldingRegisters, static_cast<uint8_t>(2 * count)};
  for (int i = 0; i < count; ++i) put_word(reply, words[i]);
  return {reply, {}};
}

// The exception a write gets before it reaches the unit, if any.
std::optional<uint8_t> write_refusal(const AnswerFaults& faults, int address) {
  if (const auto code = exception_for(faults, address, address)) return code;
  return faults.refuse_writes;
}

Answer write_answer(uint8_t slave, UnitModel& unit, int address, uint16_t value,
                    const AnswerFaults& faults) {
  Answer answer;
  answer.note = "write slave " + std::to_string(slave) + " register " + std::to_string(address) +
                " <- " + std::to_string(value);
  std::optional<uint8_t> refusal = write_refusal(faults, address);
  WriteResult result;
  if (!refusal) {
    result = unit.write(address, value);
    if (result.refusal) refusal = static_cast<uint8_t>(*result.refusal);
  }
  if (refusal) {
    answer.reply = exception_reply(slave, kWriteSingleRegister, *refusal);
    answer.note += ": refused, exception " + std::to_string(*refusal);
    return answer;
  }
  const uint16_t echo = faults.echo_override.value_or(result.echo);
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

std::vector<uint8_t> rtu_frame(const std::vector<uint8_t>& body, bool wrong_crc) {
  std::vector<uint8_t> frame = body;
  const uint16_t crc =
      static_cast<uint16_t>(crc16(body.data(), body.size()) ^ (wrong_crc ? 0xffff : 0));
  frame.push_back(static_cast<uint8_t>(crc & 0xff));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

Answer answer_request(const uint8_t* frame, size_t length, Units& units,
                      const AnswerFaults& faults) {
  const uint8_t slave = frame[0];
  const uint8_t function = frame[1];
  if (slave == kBroadcast) {
    Answer broadcast;  // carried out by every unit, answered by none
    if (function == kWriteSingleRegister && length == 8)
      for (auto& [address, unit] : units)
        broadcast.note += (broadcast.note.empty() ? "" : "\n") +
                          write_answer(static_cast<uint8_t>(address), unit, word_at(frame + 2),
                                       word_at(frame + 4), faults)
                              .note;
    return broadcast;
  }
  const auto found = units.find(slave);
  if (found == units.end()) return {};  // another unit's request
  UnitModel& unit = found->second;
  if (function == kReadHoldingRegisters && length == 8)
    return read_answer(slave, unit, word_at(frame + 2), word_at(frame + 4), faults);
  if (function == kWriteSingleRegister && length == 8)
    return write_answer(slave, unit, word_at(frame + 2), word_at(frame + 4), faults);
  return {exception_reply(slave, function, kIllegalFunction), {}};
}

}  // namespace sim
