// The monitoring host's device framework as a device plug-in sees it.
//
// The host is a closed library of the process that loads the plug-in. Its
// device classes form one chain of single inheritance:
//
//   VDeviceInterface <- SMDVDevice <- SMDSPDevice <- SPModbus <- (device)
//
// The order in which the virtual operations are declared below is the order
// of the slots in the host's virtual tables. The host calls a device through
// those slots, so the order is an ABI: never reorder, insert or remove a
// virtual operation here. tests/abi_test.cpp pins every slot.
//
// Everything that is not defined inline here lives in the host and is
// resolved when the process loads the plug-in. The inline bodies in
// device_defaults.h are the defaults that every plug-in carries itself; they
// are declared inline in the class too, so that VDeviceInterface's first
// out-of-line virtual operation (LoadFromCache of bytes) is its key function
// and its virtual table and typeinfo stay in the host. A plug-in then needs
// no VDeviceInterface symbol at all.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

// The host's classes keep default visibility even when a plug-in is built
// with hidden visibility: their typeinfo, virtual tables and member functions
// are the host's, and the plug-in refers to them by name.
#define HOST_API __attribute__((visibility("default")))

class SMDController;  // the host's controller; devices keep a weak reference only

// Parity of a serial frame, for SendParityData.
enum EnumParity {
  PARITY_NONE = 0,
  PARITY_ODD = 1,
  PARITY_EVEN = 2,
  PARITY_MARK = 3,
  PARITY_SPACE = 4
};

// One pending rule evaluation of the host. Devices only count, pass on and
// clear these; the host fills them.
struct HOST_API rule_value {
  std::string signal_id;
  float value = 0.0f;
  int rule = 0;
};

// Calendar fields of a local time as the host stores them in data records:
// 7 bytes, no padding, multi-byte fields in the controller's byte order.
struct __attribute__((packed)) TTime {
  uint16_t year;
  uint8_t month;   // 1..12
  uint8_t day;     // 1..31
  uint8_t hour;    // 0..23
  uint8_t minute;  // 0..59
  uint8_t second;  // 0..59
};
static_assert(sizeof(TTime) == 7, "TTime is the 7-byte calendar stamp of a record");

// Calendar fields of `local_time`; all zero for a time that is not a date.
HOST_API TTime get_ttime(const boost::posix_time::ptime& local_time);

// Root of every device the host drives.
class HOST_API VDeviceInterface {
 public:
  VDeviceInterface();

  // slot 0. Default: throws std::out_of_range saying the data is not ready.
  inline virtual double Get_Value(unsigned int index, const std::string& name) const;
  // slot 1. Default: the byte form below, on the string's bytes.
  inline virtual int LoadFromCache(const std::string& bytes);
  // slot 2. Takes a record kept by the host; 1 if taken, 0 if not.
  virtual int LoadFromCache(const unsigned char* bytes, int length);
  inline virtual int DataId() const;                     // slot 3
  inline virtual const std::string& DeviceType() const;  // slot 4
  // slot 5. Returns 0 or -1; `out_size` gets the bytes written or needed.
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_size) = 0;
  virtual void RoundDone();               // slot 6
  inline virtual bool UseControllerDb();  // slot 7
  virtual ~VDeviceInterface();            // slots 8 and 9

  int data_id = 0;
  std::string device_type;
  bool use_controller_db = false;
  boost::posix_time::ptime last_data_time;  // local time of the last completed round
  bool data_state = false;                  // true once a round or a reload completed

  // The host's own bookkeeping of the device; opaque to devices.
  struct HostState;
  HostState* host_state = nullptr;

  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;
};

// A device that reports signals, alarms and records to the host.
class HOST_API SMDVDevice : public VDeviceInterface {
 public:
  SMDVDevice();
  ~SMDVDevice() override;

  // The host's own handling of the control codes that a device passes on.
  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_size) override;

  virtual void Reset();                                         // slot 10: exchange over
  virtual int InitV();                                          // slot 11
  virtual int Init(std::weak_ptr<SMDController> controller);    // slot 12
  virtual int InitSetting(const Json::Value& settings);         // slot 13
  virtual bool IsSupportDevice(const std::string& type) const;  // slot 14
  inline virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int index);  // slot 15
  inline virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices();   // slot 16
  // slot 17: announces a record of `type` to the host.
  virtual bool SendSP(int type, const void* record, int length, bool delayed);
  virtual bool SendDelayData(int type, const void* record, int length);  // slot 18
  virtual bool SendDoData(unsigned int index, int value);                // slot 19
  virtual int ReadDi(unsigned int index);                                // slot 20
  virtual float ReadAi(unsigned int index);                              // slot 21
  virtual float Get_SP_Value(const std::string& signal_id);              // slot 22

  // Host services, not virtual.
  bool SaveDeviceHistory(const void* record, int length);
  bool CheckAOReport(const std::string& signal_id, float value);
  bool CheckThreshold(const std::string& signal_id, const std::string& name, float value, int kind);
  bool CheckThresholdBool(int level, const std::string& signal_id, const std::string& related_id,
                          const std::string& title, const std::string& detail, bool active,
                          unsigned short kind);
  bool DoBatchCheckThreshold(std::vector<rule_value>& rules);

  uint8_t init_flag = 0;
  bool check_raised = false;                      // some check of the last round raised an alarm
  uint16_t round_status = 0;                      // 1 once a round completed
  std::vector<std::string> ao_signal_ids;         // analogue signals to check, in order
  std::map<std::string, float> ao_values;         // signal id -> analogue value
  std::vector<rule_value> rule_values;            // rule evaluations pending this round
  std::map<std::string, int> alarm_levels;        // signal id -> level, 0 = not supervised
  std::map<std::string, float> alarm_thresholds;  // signal id -> limit
};

// A device on one of the host's serial ports.
class HOST_API SMDSPDevice : public SMDVDevice {
 public:
  SMDSPDevice();
  ~SMDSPDevice() override;

  virtual int RefreshStatus();                                                            // slot 23
  virtual int process();                                                                  // slot 24
  virtual bool IsProcessing() const;                                                      // slot 25
  virtual bool IsStalled() const;                                                         // slot 26
  virtual int SendData(const unsigned char* bytes, int length);                           // slot 27
  virtual int SendParityData(const unsigned char* bytes, int length, EnumParity parity);  // 28
  virtual int OpenPort();                                                                 // slot 29
  virtual int ClosePort();                                                                // slot 30

  int baud_rate = 9600;  // bits per second of the port
  int step = 0;          // the exchange in progress; its values are the device's
};

// A Modbus master on a serial port.
class HOST_API SPModbus : public SMDSPDevice {
 public:
  // Register table that a reply came from.
  enum tab_type { TAB_BITS = 0, TAB_INPUT_BITS = 1, TAB_REGISTERS = 2, TAB_INPUT_REGISTERS = 3 };

  // Most words one Modbus read can carry.
  static constexpr int kMaxRegisters = 125;

  SPModbus();
  ~SPModbus() override;

  // slot 31. Called for every reply once its words are in rx_registers.
  // Returns 1 while an exchange goes on or when the reply is ignored, 0 when
  // the exchange has ended.
  virtual int process_payload(tab_type table, unsigned int count) = 0;
  inline virtual int on_error();  // slot 32. Default: prints "SPModbus get error".

  // Requests registers [address, address + count) of the unit (function 3).
  int modbus_read_registers(int address, int count);
  // Writes one holding register of the unit (function 6).
  int modbus_write_register(int address, int value);

  uint16_t rx_registers[kMaxRegisters] = {};  // words of the last reply, first word first
};

#include "host/device_defaults.h"
