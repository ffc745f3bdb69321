// The simulator's end of a serial line: a serial device it is given, or a
// pseudo-terminal it opens itself for a master to connect to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <modbus.h>

namespace sim {

struct LineSettings {
  std::string device;  // empty: open a new pseudo-terminal
  int baud = 9600;
  char parity = 'N';  // 'N', 'E' or 'O'
  int data_bits = 8;
  int stop_bits = 1;
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

  // Sends a reply (slave, function, data); libmodbus appends the CRC. With
  // `corrupt` the CRC is sent wrong, as after a disturbance on the line.
  bool send(const std::vector<uint8_t>& reply, bool corrupt);

 private:
  Line() = default;

  modbus_t* context_ = nullptr;
  int fd_ = -1;
  int pty_slave_ = -1;  // held open so that masters may come and go
  std::string path_;
};

}  // namespace sim
