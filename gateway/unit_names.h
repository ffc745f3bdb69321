// Which configured unit a device object is, for the gateway's services: the
// host calls them with the device, and they file everything under the
// unit's name. Also the local-time text that they stamp things with.
#pragma once

#include <map>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/framework.h"

namespace gw {

class UnitNames {
 public:
  void add(const VDeviceInterface& device, const std::string& name) { names_[&device] = name; }
  // The unit's name; "?" for a device that was never added.
  const std::string& of(const VDeviceInterface& device) const {
    static const std::string unknown = "?";
    const auto found = names_.find(&device);
    return found == names_.end() ? unknown : found->second;
  }

 private:
  std::map<const VDeviceInterface*, std::string> names_;
};

// "YYYY-MM-DD HH:MM:SS"; "-" for a time that is not a date.
std::string time_text(const boost::posix_time::ptime& time);
// The local time now, as above.
std::string now_text();

}  // namespace gw
