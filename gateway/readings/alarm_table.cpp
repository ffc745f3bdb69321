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

}  // namespace gw::readings
