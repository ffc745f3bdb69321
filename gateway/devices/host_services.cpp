#include "gateway/devices/host_services.h"

#include <algorithm>

#include "gateway/base/commands.h"
#include "gateway/base/iso_time.h"
#include "gateway/base/log.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/reading_table.h"
#include "gateway/readings/render.h"

namespace gw::devices {

bool HistorySink::announce(SMDVDevice& device, int, const void* record, int length, bool) {
  limits_.take_record(device, record, length);
  return true;
}

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
          event.value,     event.limit};
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

namespace {

// KEY="VALUE", with '"' and '\\' escaped by a backslash.
std::string quoted_field(const char* key, const std::string& value) {
  std::string text = std::string(" ") + key + "=\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + '"';
}

// ", 29.5 °C, limit 28 °C": what a limit alarm compared, in its reading's unit.
std::string measured_text(const history::AlarmEvent& event) {
  const readings::AlarmRow* alarm = readings::alarm_row(event.signal_id);
  const readings::ReadingRow* reading = alarm == nullptr || alarm->reading == nullptr
                                            ? nullptr
                                            : readings::reading_row(alarm->reading);
  const std::string symbol =
      reading == nullptr ? "" : std::string(" ") + readings::unit_symbol(reading->unit);
  std::string text;
  if (event.value) text += ", " + readings::decimal_text(*event.value) + symbol;
  if (event.limit) text += ", limit " + readings::decimal_text(*event.limit) + symbol;
  return text;
}

std::string iso_text(const std::string& local_time) {
  const auto instant = parse_time_text(local_time);
  return instant ? base::iso_time(*instant) : local_time;
}

}  // namespace

std::string alarm_line(const history::AlarmEvent& event, const std::string& unit_title) {
  const bool own = event.signal_id == readings::kCommLostSignalId;
  const char* english = readings::alarm_title(event.signal_id);
  std::string line = "alarm " + event.device + (event.raised ? " raised " : " cleared ") +
                     event.signal_id + " level " + std::to_string(event.level) + " " +
                     readings::level_name(event.level) + " at " + iso_text(event.time) + ": " +
                     (english != nullptr ? english : event.title) + measured_text(event);
  if (own && !event.detail.empty()) line += ", " + event.detail;
  std::string fields;
  if (!unit_title.empty() && unit_title != event.device)
    fields += quoted_field("unit_label", unit_title);
  if (!own)
    fields += quoted_field("title_zh", event.title) + quoted_field("detail_zh", event.detail);
  return fields.empty() ? line : line + ";" + fields;
}

void AlarmEventLog::record(const history::AlarmEvent& event) {
  std::string unit_title;
  table_.update_unit(event.device, [&](state::UnitState& unit) {
    apply_alarm(unit.alarms, event);
    unit_title = unit.title;
  });
  base::log::record(event.raised ? base::log::Level::kWarning : base::log::Level::kNotice,
                    alarm_line(event, unit_title));
  history_.save_event(event);
  if (stream_.has_subscribers())
    stream_.publish(state::AlarmChanged{event.device, std::chrono::system_clock::now(),
                                        event.signal_id, event.level, event.raised, event.title,
                                        event.detail, event.value, event.limit});
}

int HostControl::device_io_control(SMDVDevice&, int code, const void*, int, void*, int, int&) {
  return code == base::kResultQueryCode ? 0 : -1;
}

}  // namespace gw::devices
