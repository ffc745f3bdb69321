#include "simulator/line.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simulator/paced_io.h"

namespace sim {
namespace {

// Opens a pseudo-terminal in raw mode; its master side becomes `master`.
bool open_pty(int& master, int& slave, std::string& path, std::string& error) {
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  path = name;
  return true;
}

}  // namespace

std::unique_ptr<Line> Line::open(const LineSettings& settings, std::string& error) {
  std::unique_ptr<Line> line(new Line);
  const bool own_pty = settings.device.empty();
  line->framing_ = settings.framing;
  // For a pseudo-terminal the context never opens a device: it only sends
  // through the master descriptor set below.
  const Framing& framing = settings.framing;
  line->context_ = modbus_new_rtu(own_pty ? "/dev/null" : settings.device.c_str(), framing.baud,
                                  framing.parity, framing.data_bits, framing.stop_bits);
  if (line->context_ == nullptr) {
    error = std::string("bad line settings: ") + modbus_strerror(errno);
    return nullptr;
  }
  if (own_pty) {
    if (!open_pty(line->fd_, line->pty_slave_, line->path_, error)) return nullptr;
    modbus_set_socket(line->context_, line->fd_);
    return line;
  }
  if (modbus_connect(line->context_) != 0) {
    error = "cannot open " + settings.device + ": " + modbus_strerror(errno);
    return nullptr;
  }
  line->fd_ = modbus_get_socket(line->context_);
  line->path_ = settings.device;
  return line;
}

Line::~Line() {
  if (pty_slave_ >= 0) {
    // The context never opened the pseudo-terminal: it must not restore
    // serial settings it never saved.
    modbus_set_socket(context_, -1);
    ::close(fd_);
    ::close(pty_slave_);
  }
  if (context_ != nullptr) {
    modbus_close(context_);
    modbus_free(context_);
  }
}

bool Line::send(const std::vector<uint8_t>& frame) {
  return write_all(fd_, frame.data(), frame.size());
}

}  // namespace sim
