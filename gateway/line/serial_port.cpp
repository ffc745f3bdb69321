#include "gateway/line/serial_port.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <system_error>

#include "gateway/base/log.h"
#include "gateway/config/serial_speeds.h"

namespace gw::line {
namespace {

// The port cannot be opened (as opposed to being held by another process
// or refusing its settings).
class PortUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace

SerialPort::SerialPort(const config::BusSettings& bus, bool wait_for_port)
    : settings_(bus), path_(bus.port) {
  context_ = modbus_new_rtu(bus.port.c_str(), bus.baud, bus.parity, bus.data_bits, bus.stop_bits);
  if (context_ == nullptr)
    throw LinkError("serial port " + bus.port + ": bad settings: " + modbus_strerror(errno));
  // After a corrupt reply libmodbus drops what the line holds.
  modbus_set_error_recovery(context_, MODBUS_ERROR_RECOVERY_PROTOCOL);
  try {
    open();
  } catch (const PortUnavailable& error) {
    if (!wait_for_port) {
      modbus_free(context_);
      throw LinkError(error.what());
    }
    open_error_ = error.what();
    reopen_at_ = LineWaits::Clock::now() + backoff_.delay();
  } catch (const std::system_error& error) {
    modbus_free(context_);
    throw LinkError(error.what());
  } catch (...) {
    modbus_free(context_);
    throw;
  }
}

SerialPort::~SerialPort() {
  if (open_) modbus_close(context_);
  lock_.release();
  modbus_free(context_);
}

void SerialPort::open() {
  PortLock lock;
  try {
    lock = PortLock::take(path_);
  } catch (const std::system_error& error) {
    throw PortUnavailable(error.what());
  }
  if (modbus_connect(context_) != 0)
    throw PortUnavailable(
        std::system_error(errno, std::generic_category(), "cannot open serial port " + path_)
            .what());
  try {
    set_up();
  } catch (...) {
    modbus_close(context_);
    throw;
  }
  lock.make_exclusive();
  lock_ = std::move(lock);
  open_ = true;
}

void SerialPort::set_up() {
  auto fail = [&](const std::string& what) {
    throw std::system_error(errno, std::generic_category(), "serial port " + path_ + ": " + what);
  };
  const config::SerialSpeed* speed = config::serial_speed(settings_.baud);
  if (speed != nullptr && !speed->set_by_libmodbus) {
    termios line{};
    const int fd = modbus_get_socket(context_);
    if (tcgetattr(fd, &line) != 0 || cfsetispeed(&line, speed->code) != 0 ||
        cfsetospeed(&line, speed->code) != 0 || tcsetattr(fd, TCSANOW, &line) != 0)
      fail("cannot set bus.baud " + std::to_string(settings_.baud));
  }
  if (settings_.serial_mode) {
    const bool rs485 = *settings_.serial_mode == config::SerialMode::kRs485;
    if (modbus_rtu_set_serial_mode(context_, rs485 ? MODBUS_RTU_RS485 : MODBUS_RTU_RS232) != 0)
      fail(std::string("cannot set bus.serial_mode ") + (rs485 ? "rs485" : "rs232"));
  }
  if (settings_.rts) {
    const int mode = *settings_.rts == config::RtsMode::kUp     ? MODBUS_RTU_RTS_UP
                     : *settings_.rts == config::RtsMode::kDown ? MODBUS_RTU_RTS_DOWN
                                                                : MODBUS_RTU_RTS_NONE;
    if (modbus_rtu_set_rts(context_, mode) != 0) fail("cannot set bus.rts");
  }
  if (settings_.rts_delay_us && modbus_rtu_set_rts_delay(context_, *settings_.rts_delay_us) != 0)
    fail("cannot set bus.rts_delay_us");
}

void SerialPort::close_lost(const std::string& reason) {
  if (!open_) return;
  modbus_close(context_);
  lock_.release();
  open_ = false;
  backoff_.opened();  // the port worked until now: its schedule starts again
  reopen_at_ = LineWaits::Clock::now() + backoff_.delay();
  ++counters_.lost;
  base::log::warning("serial port " + path_ + " lost: " + reason + "; opening it again");
}

std::optional<LineWaits::Clock::time_point> SerialPort::reopen_due() const {
  if (open_) return std::nullopt;
  return reopen_at_;
}

TryResult SerialPort::reopen(LineWaits& waits) {
  if (!waits.pause_until(reopen_at_)) return stopped();
  try {
    open();
  } catch (const std::exception& error) {
    backoff_.failed();
    reopen_at_ = LineWaits::Clock::now() + backoff_.delay();
    return {TryOutcome::kPortError, error.what(), EIO};
  }
  backoff_.opened();
  ++counters_.reopened;
  base::log::notice("serial port " + path_ + " open again");
  return {};
}

int SerialPort::bytes_waiting() const {
  int count = 0;
  return ::ioctl(modbus_get_socket(context_), FIONREAD, &count) == 0 ? count : -1;
}

}  // namespace gw::line
