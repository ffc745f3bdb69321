#include "gateway/alarms.h"

namespace gw {

void AlarmBook::restore(const std::string& unit, const std::string& signal_id) {
  raised_[{unit, signal_id}] = true;
}

bool AlarmBook::is_raised(const std::string& unit, const std::string& signal_id) const {
  const auto found = raised_.find({unit, signal_id});
  return found != raised_.end() && found->second;
}

bool AlarmBook::threshold_bool(SMDVDevice& device, int level, const std::string& signal_id,
                               const std::string&, const std::string& title,
                               const std::string& detail, bool active, unsigned short) {
  const std::string& unit = names_.of(device);
  bool& raised = raised_[{unit, signal_id}];
  if (raised == active) return false;
  raised = active;
  log_.record({now_text(), unit, signal_id, level, active, title, detail});
  return active;
}

}  // namespace gw
