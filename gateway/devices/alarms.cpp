#include "gateway/devices/alarms.h"

namespace gw::devices {

void AlarmBook::restore(const std::string& unit, const std::string& signal_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  raised_[{unit, signal_id}] = true;
}

bool AlarmBook::is_raised(const std::string& unit, const std::string& signal_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = raised_.find({unit, signal_id});
  return found != raised_.end() && found->second;
}

bool AlarmBook::threshold_bool(SMDVDevice& device, int level, const std::string& signal_id,
                               const std::string&, const std::string& title,
                               const std::string& detail, bool active, unsigned short) {
  const std::string unit = names_.of(device);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool& raised = raised_[{unit, signal_id}];
    if (raised == active) return false;
    raised = active;
  }
  // Outside the lock: the log prints and stores. A unit's signals are
  // reported by its own bus's thread only, so its events stay in order.
  const Measured measured = limits_.measured(device, signal_id);
  log_.record(
      {now_text(), unit, signal_id, level, active, title, detail, measured.value, measured.limit});
  return active;
}

}  // namespace gw::devices
