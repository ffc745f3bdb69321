#include "gateway/readings/alarm_table.h"

namespace gw::readings {

std::string level_name(int level) {
  if (level == kLevelUnsupervised) return "unsupervised";
  for (const AlarmLevel& named : kAlarmLevels)
    if (named.level == level) return named.name;
  return "level " + std::to_string(level);
}

std::optional<int> level_of_name(std::string_view name) {
  for (const AlarmLevel& named : kAlarmLevels)
    if (name == named.name) return named.level;
  return std::nullopt;
}

std::string alarm_list(const std::vector<std::string>& signal_ids) {
  std::string list;
  for (const std::string& id : signal_ids) {
    if (!list.empty()) list += ", ";
    const char* title = alarm_title(id);
    list += title == nullptr ? id : std::string(title) + " (" + id + ")";
  }
  return list;
}

}  // namespace gw::readings
