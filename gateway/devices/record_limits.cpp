#include "gateway/devices/record_limits.h"

#include <cmath>
#include <string_view>

#include "gateway/readings/alarm_table.h"
#include "gateway/readings/readings.h"

namespace gw::devices {

void RecordLimits::add(const VDeviceInterface& device, const config::UnitConfig& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_[&device] = Unit{config.alarm_thresholds, {}};
}

void RecordLimits::remove(const VDeviceInterface& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  units_.erase(&device);
}

void RecordLimits::take_record(SMDVDevice& device, const void* record, int length) {
  if (record == nullptr || length <= 0) return;
  const auto readings = readings::Readings::decode(
      std::string_view(static_cast<const char*>(record), static_cast<size_t>(length)));
  if (!readings) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = units_.find(&device);
  if (found == units_.end()) return;
  Unit& unit = found->second;
  for (const readings::AlarmRow& alarm : readings::kAlarmRows) {
    if (alarm.unit_limit == nullptr) continue;  // a flag alarm: no limit
    const auto configured = unit.configured.find(alarm.signal_id);
    const float limit = configured != unit.configured.end()
                            ? configured->second
                            : static_cast<float>(readings->find(alarm.unit_limit)->number());
    device.alarm_thresholds[alarm.signal_id] = limit;
    // The limit as the file or the unit gave it: 28.3, not the float's 28.299999.
    const double given = std::round(static_cast<double>(limit) * 100.0) / 100.0;
    unit.last[alarm.signal_id] = {readings->find(alarm.reading)->number(), given};
  }
}

Measured RecordLimits::measured(const VDeviceInterface& device,
                                const std::string& signal_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = units_.find(&device);
  if (found == units_.end()) return {};
  const auto last = found->second.last.find(signal_id);
  return last == found->second.last.end() ? Measured{} : last->second;
}

}  // namespace gw::devices
