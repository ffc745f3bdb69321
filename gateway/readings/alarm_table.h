// The alarms for people: an English title for every signal id that the
// plug-in's alarm checks report, in the order in which they run, and for
// the gateway's own alarm of a unit that stopped answering; the level each
// is supervised at unless the configuration says otherwise, the names of
// the levels, and for a limit alarm the unit's own limit setting, which
// stands in for a limit that the configuration does not give.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::readings {

// Signal id of the communication-loss alarm that the gateway raises when a
// unit has completed no round for a number of rounds, and clears with the
// next completed round. Not a 12-digit id of the upper system, so that it
// can never be mistaken for one of the unit's signals.
inline constexpr char kCommLostSignalId[] = "comm_lost";

// Alarm levels: a higher level is worse. The plug-in passes any non-zero
// level on unchanged; these three have names (in logs, metrics, MQTT and
// notifications), others are named "level N". 0 leaves a signal
// unsupervised.
inline constexpr int kLevelUnsupervised = 0;
// The configuration's word for level 0: a signal left unsupervised on purpose.
inline constexpr char kLevelOff[] = "off";

struct AlarmLevel {
  int level;
  const char* name;     // snake_case: a label value and a configuration word
  const char* meaning;  // for the manual
};

inline constexpr AlarmLevel kAlarmLevels[] = {
    {1, "warning", "needs attention during working hours"},
    {2, "major", "needs someone soon: the room's cooling or its supervision is impaired"},
    {3, "critical", "needs someone now: equipment is at risk"},
};

// The name of a level: "warning", "major", "critical", "level N" for
// another non-zero level, "unsupervised" for 0.
std::string level_name(int level);
// The level of a name of kAlarmLevels; nullopt for another word.
std::optional<int> level_of_name(std::string_view name);

struct AlarmRow {
  const char* signal_id;
  const char* title;    // English
  const char* reading;  // name of the reading the check looks at; nullptr for comm_lost
  int default_level;    // supervised at this level unless "alarm_levels" says otherwise
  // A limit alarm's stand-in limit: the reading of the unit's own limit
  // setting, used when "alarm_thresholds" gives none; nullptr for the others.
  const char* unit_limit;
};

inline constexpr AlarmRow kAlarmRows[] = {
    {"120800090010", "Return air temperature high", "return_air_temperature", 3,
     "return_air_temperature_upper_limit"},
    {"120800100010", "Return air temperature low", "return_air_temperature", 2,
     "return_air_temperature_lower_limit"},
    {"120800120010", "Return air humidity high", "return_air_humidity", 2,
     "return_air_humidity_upper_limit"},
    {"120800130010", "Return air humidity low", "return_air_humidity", 1,
     "return_air_humidity_lower_limit"},
    {"120800150010", "Water on the floor", "water_on_floor", 3, nullptr},
    {"120800230010", "Humidifier fault", "humidifier_fault", 1, nullptr},
    {"120800260010", "Air filter clogged", "filter_clogged", 1, nullptr},
    {"120800240010", "Indoor fan overload", "indoor_fan_fault", 2, nullptr},
    {kCommLostSignalId, "Unit not answering", nullptr, 2, nullptr},
};

inline constexpr int kAlarmRowCount = sizeof(kAlarmRows) / sizeof(kAlarmRows[0]);

// The English title of a signal id; nullptr for an id the table does not know.
constexpr const char* alarm_title(std::string_view signal_id) {
  for (const AlarmRow& alarm : kAlarmRows)
    if (signal_id == alarm.signal_id) return alarm.title;
  return nullptr;
}

// "Water on the floor (120800150010), Air filter clogged (120800260010)":
// the English titles with their ids; an id the table does not know alone.
std::string alarm_list(const std::vector<std::string>& signal_ids);

// The row of a signal id; nullptr for an id the table does not know.
constexpr const AlarmRow* alarm_row(std::string_view signal_id) {
  for (const AlarmRow& alarm : kAlarmRows)
    if (signal_id == alarm.signal_id) return &alarm;
  return nullptr;
}

}  // namespace gw::readings
