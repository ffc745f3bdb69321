// Modbus RTU frames as the simulated units see them, without any I/O.
//
// A request frame is: slave address, function code, data, CRC (low byte
// first). The units answer function 3 (read holding registers) and 6 (write
// single register); any other function gets the exception "illegal
// function". Requests for slave addresses that no unit has are ignored, as
// on a shared bus; broadcasts (address 0) are carried out without a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "simulator/unit_model.h"

namespace sim {

// Modbus CRC-16 (polynomial 0xA001 reflected, initial 0xFFFF).
uint16_t crc16(const uint8_t* bytes, size_t length);

// The frame of `body` (slave, function, data) with its CRC, low byte first;
// with `wrong_crc` every bit of the CRC inverted, as after a disturbance.
std::vector<uint8_t> rtu_frame(const std::vector<uint8_t>& body, bool wrong_crc = false);

// Length of the request frame whose first `have` bytes are given: 0 while
// more bytes are needed to tell, -1 for a function code the units do not
// know the frame length of.
int request_frame_length(const uint8_t* bytes, size_t have);

// True when the frame's last two bytes are the CRC of the rest.
bool crc_matches(const uint8_t* frame, size_t length);

// Collects the bytes that arrive from the line into request frames.
class FrameAssembler {
 public:
  void append(const uint8_t* bytes, size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
  }
  // Takes the next complete frame off the buffer, if there is one. Bytes
  // that cannot start a frame the units know are dropped.
  std::optional<std::vector<uint8_t>> next_frame();
  // Drops a partial frame (the line went quiet in the middle of it).
  void clear() { buffer_.clear(); }
  bool empty() const { return buffer_.empty(); }

 private:
  std::vector<uint8_t> buffer_;
};

// The units on the bus, by slave address (1-247).
using Units = std::map<int, UnitModel>;

struct Answer {
  std::vector<uint8_t> reply;  // slave, function, data; no CRC; empty: no reply
  // For the log: what each write did ("write slave S register R <- V, echo
  // E" or ": refused, exception C"), a read answered by an exception fault
  // ("read slave S registers A-B: exception C"); one line each. Empty for
  // plain reads.
  std::string note;
};

// Modbus exception codes (1 to 255 can be sent; these have names).
enum ExceptionCode : uint8_t {
  kIllegalFunction = 1,
  kIllegalDataAddress = 2,
  kIllegalDataValue = 3,
  kServerDeviceFailure = 4,
};

// Faults in what the units answer, for tests. Reads and writes of function
// 3 and 6 only; a write refused or answered with an exception changes no
// register.
struct AnswerFaults {
  std::optional<uint16_t> echo_override;  // every write acknowledged with this word
  std::map<int, uint8_t> exceptions;      // register -> code: any read or write touching it
  std::optional<uint8_t> refuse_writes;   // every other write refused with this code
};

// Carries out one CRC-checked request frame.
Answer answer_request(const uint8_t* frame, size_t length, Units& units,
                      const AnswerFaults& faults = {});

}  // namespace sim
