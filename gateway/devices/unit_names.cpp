#include "gateway/devices/unit_names.h"

#include <time.h>

#include <cstdio>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace gw::devices {

void UnitNames::add(const VDeviceInterface& device, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_[&device] = name;
}

void UnitNames::remove(const VDeviceInterface& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.erase(&device);
}

std::string UnitNames::of(const VDeviceInterface& device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = names_.find(&device);
  return found == names_.end() ? "?" : found->second;
}

std::string name_list(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "-" : text;
}

std::string time_text(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "-";
  const auto date = time.date();
  const auto clock = time.time_of_day();
  char text[64];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<int>(date.month()), static_cast<int>(date.day()),
                static_cast<int>(clock.hours()), static_cast<int>(clock.minutes()),
                static_cast<int>(clock.seconds()));
  return text;
}

std::string now_text() { return time_text(boost::posix_time::second_clock::local_time()); }

std::optional<std::chrono::system_clock::time_point> parse_time_text(const std::string& text) {
  tm fields{};
  char end = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &fields.tm_year, &fields.tm_mon,
                  &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &end) != 6)
    return std::nullopt;
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;  // local time: whatever daylight saving time was then
  const time_t seconds = mktime(&fields);
  if (seconds == static_cast<time_t>(-1)) return std::nullopt;
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace gw::devices
