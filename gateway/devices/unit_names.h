// Which configured unit a device object is, for the gateway's services: the
// host calls them with the device, and they file everything under the
// unit's name. Also the local-time text that they stamp things with.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/framework.h"

namespace gw::devices {

// Safe to use from every bus's thread.
class UnitNames {
 public:
  void add(const VDeviceInterface& device, const std::string& name);
  void remove(const VDeviceInterface& device);
  // The unit's name; "?" for a device that was never added.
  std::string of(const VDeviceInterface& device) const;

 private:
  mutable std::mutex mutex_;
  std::map<const VDeviceInterface*, std::string> names_;
};

// "ac1, ac2"; "-" for none.
std::string name_list(const std::vector<std::string>& names);

// "YYYY-MM-DD HH:MM:SS"; "-" for a time that is not a date.
std::string time_text(const boost::posix_time::ptime& time);
// The local time now, as above.
std::string now_text();
// The time that a local-time text as above names; nothing for another text.
std::optional<std::chrono::system_clock::time_point> parse_time_text(const std::string& text);

}  // namespace gw::devices
