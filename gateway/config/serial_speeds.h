// The speeds that a serial line takes on Linux (the termios speeds), and
// which of them libmodbus sets itself: it sets any other as 9600 baud
// without a word, so the line sets those through termios after libmodbus
// opened the port.
#pragma once

#include <termios.h>

#include <string>

namespace gw::config {

struct SerialSpeed {
  int baud;
  speed_t code;
  bool set_by_libmodbus;  // libmodbus 3.1 maps it; else the line sets it
};

inline constexpr SerialSpeed kSerialSpeeds[] = {
    {50, B50, false},          {75, B75, false},           {110, B110, true},
    {134, B134, false},        {150, B150, false},         {200, B200, false},
    {300, B300, true},         {600, B600, true},          {1200, B1200, true},
    {1800, B1800, false},      {2400, B2400, true},        {4800, B4800, true},
    {9600, B9600, true},       {19200, B19200, true},      {38400, B38400, true},
    {57600, B57600, true},     {115200, B115200, true},    {230400, B230400, true},
    {460800, B460800, true},   {500000, B500000, true},    {576000, B576000, true},
    {921600, B921600, true},   {1000000, B1000000, true},  {1152000, B1152000, true},
    {1500000, B1500000, true}, {2000000, B2000000, false}, {2500000, B2500000, true},
    {3000000, B3000000, true}, {3500000, B3500000, true},  {4000000, B4000000, true},
};

// The speed of `baud`, or nullptr when the line has none.
inline const SerialSpeed* serial_speed(int baud) {
  for (const SerialSpeed& speed : kSerialSpeeds)
    if (speed.baud == baud) return &speed;
  return nullptr;
}

// "50, 75, 110, ..., 4000000"
inline std::string serial_speed_list() {
  std::string list;
  for (const SerialSpeed& speed : kSerialSpeeds)
    list += (list.empty() ? "" : ", ") + std::to_string(speed.baud);
  return list;
}

}  // namespace gw::config
