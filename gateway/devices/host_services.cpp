#include "gateway/devices/host_services.h"

#include <algorithm>

#include "gateway/base/commands.h"
#include "gateway/base/log.h"

namespace gw::devices {

bool HistorySink::announce(SMDVDevice&, int, const void*, int, bool) { return true; }

bool HistorySink::save_history(SMDVDevice& device, const void* record, int length) {
  history::StoredRecord stored{
      names_.of(device), device.data_id, time_text(device.last_data_time),
      std::string(static_cast<const char*>(record), static_cast<size_t>(length)), false};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last_[&device] = stored.bytes;
    stored.reload = reloading_.count(&device) > 0;
  }
  history_.save_record(std::move(stored));
  return true;
}

void HistorySink::set_reloading(const VDeviceInterface& device, bool reloading) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reloading)
    reloading_.insert(&device);
  else
    reloading_.erase(&device);
}

std::string HistorySink::last_record(const VDeviceInterface& device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = last_.find(&device);
  return found == last_.end() ? std::string() : found->second;
}

void HistorySink::forget(const VDeviceInterface& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_.erase(&device);
  reloading_.erase(&device);
}

state::ActiveAlarm active_alarm(const history::AlarmEvent& event) {
  return {event.signal_id, event.level, event.title, event.detail, parse_time_text(event.time),
          std::nullopt,    std::nullopt};
}

void apply_alarm(std::vector<state::ActiveAlarm>& alarms, const history::AlarmEvent& event) {
  alarms.erase(
      std::remove_if(alarms.begin(), alarms.end(),
                     [&](const state::ActiveAlarm& a) { return a.signal_id == event.signal_id; }),
      alarms.end());
  if (!event.raised) return;
  const auto at = std::lower_bound(
      alarms.begin(), alarms.end(), event.signal_id,
      [](const state::ActiveAlarm& alarm, const std::string& id) { return alarm.signal_id < id; });
  alarms.insert(at, active_alarm(event));
}

void AlarmEventLog::record(const history::AlarmEvent& event) {
  base::log::record(event.raised ? base::log::Level::kWarning : base::log::Level::kNotice,
                    "alarm " + event.device + (event.raised ? " raised " : " cleared ") +
                        event.signal_id + " level " + std::to_string(event.level) + " at " +
                        event.time + ": " + event.title + " (" + event.detail + ")");
  history_.save_event(event);
  table_.update_unit(event.device,
                     [&](state::UnitState& unit) { apply_alarm(unit.alarms, event); });
  if (stream_.has_subscribers())
    stream_.publish(state::AlarmChanged{event.device, std::chrono::system_clock::now(),
                                        event.signal_id, event.level, event.raised, event.title,
                                        event.detail, std::nullopt, std::nullopt});
}

int HostControl::device_io_control(SMDVDevice&, int code, const void*, int, void*, int, int&) {
  return code == base::kResultQueryCode ? 0 : -1;
}

}  // namespace gw::devices
