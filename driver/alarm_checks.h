// The unit's eight alarm conditions, reported to the host's alarm service at
// the end of every round (when the mode setting asks for it).
//
// Four limit checks compare the return air's temperature T and humidity H
// (the record word / 10, in single precision) with the limit that the host
// keeps for the signal in alarm_thresholds; four flag checks report a word of
// the unit that is not 0. A signal is checked only when the host supervises
// it: alarm_levels holds a level other than 0 for it, and that level goes
// with the report. A supervised signal is reported on every evaluation,
// active or not; the host keeps the alarm state.
#pragma once

#include <cstddef>

#include "driver/norvane_record.h"
#include "driver/texts_zh.h"
#include "host/framework.h"

namespace norvane {

enum class AlarmCondition {
  kAboveLimit,  // T or H > limit (strictly; a limit that is not a number never holds)
  kBelowLimit,  // T or H < limit
  kFlagSet,     // the word is not 0
};

struct AlarmCheck {
  const char* signal_id;  // the upper system's 12-digit signal id
  AlarmCondition condition;
  int record_offset;  // byte offset of the word: T or H for a limit check, else the flag
  const char* title;
  // Limit checks: the prefix of "<prefix><value of T or H>"; flag checks: the whole detail.
  const char* detail;
};

// The checks in the order in which they run. Check 8 ("120800240010")
// comes after check 7 ("120800260010").
inline constexpr AlarmCheck kAlarmChecks[] = {
    {"120800090010", AlarmCondition::kAboveLimit, offsetof(Norvane_Data_t, return_air_temp),
     zh::kTitleReturnTempHigh, zh::kDetailTemperature},
    {"120800100010", AlarmCondition::kBelowLimit, offsetof(Norvane_Data_t, return_air_temp),
     zh::kTitleReturnTempLow, zh::kDetailTemperature},
    {"120800120010", AlarmCondition::kAboveLimit, offsetof(Norvane_Data_t, return_air_humidity),
     zh::kTitleReturnHumidityHigh, zh::kDetailHumidity},
    {"120800130010", AlarmCondition::kBelowLimit, offsetof(Norvane_Data_t, return_air_humidity),
     zh::kTitleReturnHumidityLow, zh::kDetailHumidity},
    {"120800150010", AlarmCondition::kFlagSet, offsetof(Norvane_Data_t, floor_water_alarm),
     zh::kTitleFloorWater, zh::kDetailFloorWater},
    {"120800230010", AlarmCondition::kFlagSet, offsetof(Norvane_Data_t, humidifier_fault),
     zh::kTitleHumidifier, zh::kDetailHumidifier},
    {"120800260010", AlarmCondition::kFlagSet, offsetof(Norvane_Data_t, filter_clogged),
     zh::kTitleFilter, zh::kDetailFilter},
    {"120800240010", AlarmCondition::kFlagSet, offsetof(Norvane_Data_t, indoor_fan_fault),
     zh::kTitleFanOverload, zh::kDetailFanOverload},
};

inline constexpr int kAlarmCheckCount = sizeof(kAlarmChecks) / sizeof(kAlarmChecks[0]);

namespace alarm_table_checks {

constexpr bool is_signal_id(const char* id) {
  int digits = 0;
  for (; id[digits] != '\0'; ++digits)
    if (id[digits] < '0' || id[digits] > '9') return false;
  return digits == 12;
}

// Every id has 12 digits; the limit checks come before the flag checks, and
// the two of one quantity stand together: its detail is built once, when
// the first of them comes up.
constexpr bool checks_are_well_formed() {
  bool flags_begun = false;
  for (int i = 0; i < kAlarmCheckCount; ++i) {
    const AlarmCheck& check = kAlarmChecks[i];
    if (!is_signal_id(check.signal_id)) return false;
    if (check.condition == AlarmCondition::kFlagSet) {
      flags_begun = true;
      continue;
    }
    if (flags_begun) return false;
    const bool same_as_previous = i > 0 && kAlarmChecks[i - 1].record_offset == check.record_offset;
    for (int j = 0; j < i && !same_as_previous; ++j)
      if (kAlarmChecks[j].record_offset == check.record_offset) return false;
  }
  return true;
}

}  // namespace alarm_table_checks

static_assert(kAlarmCheckCount == 8);
static_assert(alarm_table_checks::checks_are_well_formed());

// Runs the eight checks on `record` and reports each supervised signal to
// `device`'s CheckThresholdBool. The maps are read with insert-on-miss
// lookups, in this order per check: alarm_levels (whether supervised),
// alarm_levels (the level), alarm_thresholds (limit checks only); so after
// one evaluation alarm_levels holds all eight ids. Nothing is caught.
void evaluate_alarms(SMDVDevice& device, const Norvane_Data_t& record);

}  // namespace norvane
