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
  std::string note;            // what a write did, for the log; empty for reads
};

// Carries out one CRC-checked request frame. `echo_override`, when set,
// replaces the word in every write acknowledgement (a faulty unit).
Answer answer_request(const uint8_t* frame, size_t length, Units& units,
                      std::optional<uint16_t> echo_override);

}  // namespace sim
