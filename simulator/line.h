// The simulator's end of a serial line: a serial device it is given, or a
// pseudo-terminal it opens itself for a master to connect to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <modbus.h>

#include "simulator/wire_time.h"

namespace sim {

struct LineSettings {
  std::string device;  // empty: open a new pseudo-terminal
  Framing framing;
};

class Line {
 public:
  // Opens the line; on failure returns null and says why in `error`.
  static std::unique_ptr<Line> open(const LineSettings& settings, std::string& error);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Descriptor to wait on and read requests from.
  int fd() const { return fd_; }
  // The device, or the path of the pseudo-terminal that masters open.
  const std::string& path() const { return path_; }
  const Framing& framing() const { return framing_; }

  // Sends a whole frame (CRC included) at once.
  bool send(const std::vector<uint8_t>& frame);

 private:
  Line() = default;

  modbus_t* context_ = nullptr;
  int fd_ = -1;
  int pty_slave_ = -1;  // held open so that masters may come and go
  std::string path_;
  Framing framing_;
};

}  // namespace sim
