// A stand-in for the monitoring host's closed device framework.
//
// It implements every host operation that a device plug-in calls and hands
// the work to services that the embedding program installs: a Modbus link,
// a record sink, a check service and a control service. Tests install
// recording fakes; the reference gateway installs libmodbus and SQLite.
//
// Services are process-wide, like the host they stand in for. Install them
// before the first device is driven; a service that is not installed answers
// as a host without that facility would (no reply, nothing stored, no alarm).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/framework.h"

namespace standin {

// One request of a Modbus master to a unit.
struct ModbusRequest {
  enum Function { kReadHoldingRegisters = 3, kWriteSingleRegister = 6 };
  Function function = kReadHoldingRegisters;
  int address = 0;  // register address, on the wire as it is (0-65535)
  int count = 0;    // words to read (1-125); 1 for a write
  int value = 0;    // word to write (its low 16 bits); 0 for a read
};

// The serial line to the units.
class ModbusLink {
 public:
  virtual ~ModbusLink() = default;
  // Carries out `request` for `device` and waits for the reply. On a valid
  // reply it puts the reply's words into `words` (room for
  // SPModbus::kMaxRegisters) and returns their number: `request.count` words
  // for a read, the value field of the echo for a write. Returns -1 when no
  // reply came or the reply was not valid; nothing then reaches the device.
  virtual int transact(SPModbus& device, const ModbusRequest& request, uint16_t* words) = 0;
  // Opens the device's port (OpenPort); 1 on success.
  virtual int open_port(SMDSPDevice& device);
  // The device called Reset: its exchange is over and the line is free.
  virtual void exchange_ended(SMDVDevice& device);
};

// Where records go: the host's record announcement and history.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual bool announce(SMDVDevice& device, int type, const void* record, int length,
                        bool delayed) = 0;
  virtual bool save_history(SMDVDevice& device, const void* record, int length) = 0;
};

// The host's threshold and alarm services. Each returns true when it raised.
class CheckService {
 public:
  virtual ~CheckService() = default;
  virtual bool ao_report(SMDVDevice& device, const std::string& signal_id, float value) = 0;
  virtual bool threshold(SMDVDevice& device, const std::string& signal_id, const std::string& name,
                         float value, int kind) = 0;
  virtual bool threshold_bool(SMDVDevice& device, int level, const std::string& signal_id,
                              const std::string& related_id, const std::string& title,
                              const std::string& detail, bool active, unsigned short kind) = 0;
  virtual bool batch_threshold(SMDVDevice& device, std::vector<rule_value>& rules) = 0;
};

// The host's own handling of the control codes that a device passes on.
class ControlService {
 public:
  virtual ~ControlService() = default;
  virtual int device_io_control(SMDVDevice& device, int code, const void* in, int in_len, void* out,
                                int out_len, int& out_size) = 0;
};

struct Services {
  ModbusLink* link = nullptr;
  RecordSink* records = nullptr;
  CheckService* checks = nullptr;
  ControlService* control = nullptr;
};

// Replaces the installed services (none: install({})).
void install(const Services& services);
const Services& installed();

// What the host has seen of a device, for the embedding program.
struct DeviceLog {
  int refresh_calls = 0;  // SMDSPDevice::RefreshStatus
  int open_port_calls = 0;
  int reset_calls = 0;
  int init_setting_calls = 0;
  Json::Value last_settings;  // as given to the host's InitSetting
};
const DeviceLog& device_log(const VDeviceInterface& device);

}  // namespace standin
