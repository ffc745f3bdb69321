// The alarms for people: an English title for every signal id that the
// plug-in's alarm checks report, in the order in which they run, and for
// the gateway's own alarm of a unit that stopped answering.
#pragma once

#include <string_view>

namespace gw::readings {

// Signal id of the communication-loss alarm that the gateway raises when a
// unit has completed no round for a number of rounds, and clears with the
// next completed round. Not a 12-digit id of the upper system, so that it
// can never be mistaken for one of the unit's signals.
inline constexpr char kCommLostSignalId[] = "comm_lost";

struct AlarmRow {
  const char* signal_id;
  const char* title;    // English
  const char* reading;  // name of the reading the check looks at; nullptr for comm_lost
};

inline constexpr AlarmRow kAlarmRows[] = {
    {"120800090010", "Return air temperature high", "return_air_temperature"},
    {"120800100010", "Return air temperature low", "return_air_temperature"},
    {"120800120010", "Return air humidity high", "return_air_humidity"},
    {"120800130010", "Return air humidity low", "return_air_humidity"},
    {"120800150010", "Water on the floor", "water_on_floor"},
    {"120800230010", "Humidifier fault", "humidifier_fault"},
    {"120800260010", "Air filter clogged", "filter_clogged"},
    {"120800240010", "Indoor fan overload", "indoor_fan_fault"},
    {kCommLostSignalId, "Unit not answering", nullptr},
};

inline constexpr int kAlarmRowCount = sizeof(kAlarmRows) / sizeof(kAlarmRows[0]);

// The English title of a signal id; nullptr for an id the table does not know.
constexpr const char* alarm_title(std::string_view signal_id) {
  for (const AlarmRow& alarm : kAlarmRows)
    if (signal_id == alarm.signal_id) return alarm.title;
  return nullptr;
}

}  // namespace gw::readings
