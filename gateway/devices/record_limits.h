// The limits that the alarm checks compare with, as the host fills them.
//
// A limit alarm (return-air temperature or humidity above or below a limit)
// is compared with the limit in the device's alarm_thresholds. The
// configuration's "alarm_thresholds" gives it; for a limit alarm that it
// leaves out, the unit's own limit setting stands in: its record holds the
// return-air temperature and humidity upper and lower limits, and the host
// copies the current one into alarm_thresholds from the record that the
// device announces at the end of each round, before its checks run. So no
// check ever compares with a limit of 0 that nobody set.
//
// The same record gives each alarm event its measured value and the limit
// it was compared with. Safe to use from every bus's thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "gateway/config/config.h"
#include "host/framework.h"

namespace gw::devices {

// What a limit alarm compared: the reading and its limit, in °C or %.
struct Measured {
  std::optional<double> value;
  std::optional<double> limit;
};

class RecordLimits {
 public:
  // The device serves `config`'s unit: its configured thresholds win.
  void add(const VDeviceInterface& device, const config::UnitConfig& config);
  void remove(const VDeviceInterface& device);

  // From a record that the device announces (the 121 bytes of a round):
  // fills the device's alarm_thresholds for the limits that the
  // configuration leaves to the unit, and keeps what each check compares.
  // A record of another size changes nothing.
  void take_record(SMDVDevice& device, const void* record, int length);

  // The value and limit of `signal_id` as of the device's last record;
  // nothing known for a flag alarm or before the first record.
  Measured measured(const VDeviceInterface& device, const std::string& signal_id) const;

 private:
  struct Unit {
    std::map<std::string, float> configured;  // signal id -> the file's limit
    std::map<std::string, Measured> last;     // signal id -> as of the last record
  };

  mutable std::mutex mutex_;
  std::map<const VDeviceInterface*, Unit> units_;
};

}  // namespace gw::devices
