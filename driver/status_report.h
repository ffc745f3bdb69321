// The status report: a JSON object that presents one record of the unit in
// readable form, with Chinese keys and words. One table says, row by row,
// which record word becomes which member and how.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "driver/norvane_record.h"
#include "driver/texts_zh.h"

namespace norvane {

enum class ValueKind {
  kTenths,       // float(word) / 10.0f, as a JSON double: 253 gives 25.299999237060547
  kPlain,        // the word as a JSON double, undivided
  kFlag,         // zh::kAlarm for a word not 0, zh::kNormal for 0; and a boolean in AlertArray
  kEnumeration,  // the word of a listed value, zh::kInvalidValue for any other
  kUpdateTime,   // the record's update_time as "Y-M-D h:m:s", no leading zeros
};

// The two listed values of an enumeration and their words.
struct Enumeration {
  uint16_t first_value;
  const char* first_word;
  uint16_t second_value;
  const char* second_word;
};

struct ReportRow {
  const char* key;
  int record_offset;  // byte offset of the word (of update_time for kUpdateTime)
  ValueKind kind;
  Enumeration words;  // kEnumeration only
};

// Name of the nested object that holds the flags as booleans.
inline constexpr char kAlertArrayKey[] = "AlertArray";

namespace report_words {
inline constexpr Enumeration kOnOffSetting{85, zh::kSwitchedOff, 170, zh::kSwitchedOn};
inline constexpr Enumeration kLock{0, zh::kNotLocked, 1, zh::kLocked};
inline constexpr Enumeration kClearing{0, zh::kKeepFaults, 1, zh::kClearFaults};
inline constexpr Enumeration kPresence{0, zh::kAbsent, 1, zh::kPresent};
// Run state, and also the four component fault words (registers 39 to 42).
inline constexpr Enumeration kRunning{0, zh::kStopped, 1, zh::kRunning};
inline constexpr Enumeration kMode{0, zh::kAutomatic, 1, zh::kManual};
inline constexpr Enumeration kSwitch{0, zh::kOff, 1, zh::kOn};
}  // namespace report_words

#define NORVANE_ROW(key, field, kind, ...)                                 \
  ReportRow {                                                              \
    key, offsetof(Norvane_Data_t, field), ValueKind::kind, { __VA_ARGS__ } \
  }

// The members in the order in which a rebuild assigns them. Temperatures
// are tenths; humidity words, limits and counts are shown undivided.
inline constexpr ReportRow kReportRows[] = {
    NORVANE_ROW(zh::kSetTemperature, set_temperature, kTenths),
    NORVANE_ROW(zh::kSetHumidity, set_humidity, kPlain),
    NORVANE_ROW(zh::kTemperaturePrecision, temperature_precision, kTenths),
    NORVANE_ROW(zh::kHumidityPrecision, humidity_precision, kPlain),
    NORVANE_ROW(zh::kReturnTempUpperLimit, return_temp_upper_limit, kPlain),
    NORVANE_ROW(zh::kReturnTempLowerLimit, return_temp_lower_limit, kPlain),
    NORVANE_ROW(zh::kReturnHumidityUpperLimit, return_humidity_upper_limit, kPlain),
    NORVANE_ROW(zh::kReturnHumidityLowerLimit, return_humidity_lower_limit, kPlain),
    NORVANE_ROW(zh::kUnitOnOff, unit_on_off, kEnumeration, report_words::kOnOffSetting),
    NORVANE_ROW(zh::kTouchScreenLock, touch_screen_lock, kEnumeration, report_words::kLock),
    NORVANE_ROW(zh::kClearFault, clear_fault, kEnumeration, report_words::kClearing),
    NORVANE_ROW(zh::kReturnAirTemp, return_air_temp, kTenths),
    NORVANE_ROW(zh::kReturnAirHumidity, return_air_humidity, kPlain),
    NORVANE_ROW(zh::kSupplyAirTemp, supply_air_temp, kTenths),
    NORVANE_ROW(zh::kSupplyAirHumidity, supply_air_humidity, kPlain),
    NORVANE_ROW(zh::kUnitFault, unit_fault, kEnumeration, report_words::kPresence),
    NORVANE_ROW(zh::kRunState, run_state, kEnumeration, report_words::kRunning),
    NORVANE_ROW(zh::kRunMode, run_mode, kEnumeration, report_words::kMode),
    NORVANE_ROW(zh::kFilterClogged, filter_clogged, kFlag),
    NORVANE_ROW(zh::kFloorWater, floor_water_alarm, kFlag),
    NORVANE_ROW(zh::kIndoorFan, indoor_fan_on, kEnumeration, report_words::kSwitch),
    NORVANE_ROW(zh::kCompressor, compressor_on, kEnumeration, report_words::kSwitch),
    NORVANE_ROW(zh::kHeater, heater_on, kEnumeration, report_words::kSwitch),
    NORVANE_ROW(zh::kHumidifier, humidifier_on, kEnumeration, report_words::kSwitch),
    NORVANE_ROW(zh::kDrainAlarm, drain_alarm, kFlag),
    NORVANE_ROW(zh::kIndoorFanFault, indoor_fan_fault, kEnumeration, report_words::kRunning),
    NORVANE_ROW(zh::kCompressorFault, compressor_fault, kEnumeration, report_words::kRunning),
    NORVANE_ROW(zh::kHeaterFault, heater_fault, kEnumeration, report_words::kRunning),
    NORVANE_ROW(zh::kHumidifierFault, humidifier_fault, kEnumeration, report_words::kRunning),
    NORVANE_ROW(zh::kOutdoorUnitFault, outdoor_unit_fault, kFlag),
    NORVANE_ROW(zh::kHeartbeat, heartbeat, kPlain),
    NORVANE_ROW(zh::kReturnTempHighSwing, return_temp_high_swing, kFlag),
    NORVANE_ROW(zh::kReturnTempLowSwing, return_temp_low_swing, kFlag),
    NORVANE_ROW(zh::kReturnHumidityHighSwing, return_humidity_high_swing, kFlag),
    NORVANE_ROW(zh::kReturnHumidityLowSwing, return_humidity_low_swing, kFlag),
    NORVANE_ROW(zh::kPowerFault, power_fault, kFlag),
    NORVANE_ROW(zh::kTouchScreenCommFault, touch_screen_comm_fault, kFlag),
    NORVANE_ROW(zh::kLowAirPressure, low_air_pressure_alarm, kFlag),
    NORVANE_ROW(zh::kCompressorHighPressure, compressor_high_pressure, kFlag),
    NORVANE_ROW(zh::kCompressorLowPressure, compressor_low_pressure, kFlag),
    NORVANE_ROW(zh::kIndoorFanRunTime, indoor_fan_run_time, kPlain),
    NORVANE_ROW(zh::kCompressorRunTime, compressor_run_time, kPlain),
    NORVANE_ROW(zh::kHumidifierRunTime, humidifier_run_time, kPlain),
    NORVANE_ROW(zh::kHeaterRunTime, heater_run_time, kPlain),
    NORVANE_ROW(zh::kUpdateTime, update_time, kUpdateTime),
};

#undef NORVANE_ROW

inline constexpr int kReportRowCount = sizeof(kReportRows) / sizeof(kReportRows[0]);

namespace report_checks {

constexpr int count_of(ValueKind kind) {
  int n = 0;
  for (const ReportRow& row : kReportRows) n += row.kind == kind ? 1 : 0;
  return n;
}

constexpr bool same_text(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

constexpr bool keys_are_distinct() {
  for (int i = 0; i < kReportRowCount; ++i) {
    if (same_text(kReportRows[i].key, kAlertArrayKey)) return false;
    for (int j = i + 1; j < kReportRowCount; ++j)
      if (same_text(kReportRows[i].key, kReportRows[j].key)) return false;
  }
  return true;
}

// Rows follow the record: words in ascending order, each a word that the
// poll round fills, and the update time last.
constexpr bool rows_follow_the_record() {
  int previous = -1;
  for (int i = 0; i < kReportRowCount; ++i) {
    const ReportRow& row = kReportRows[i];
    const bool last = i == kReportRowCount - 1;
    if ((row.kind == ValueKind::kUpdateTime) != last) return false;
    if (row.record_offset <= previous) return false;
    if (!last && (row.record_offset < kPollBlocks[0].record_offset ||
                  row.record_offset >= static_cast<int>(offsetof(Norvane_Data_t, update_time)) ||
                  (row.record_offset - kPollBlocks[0].record_offset) % 2 != 0))
      return false;
    // An enumeration lists two different values; other rows list none.
    const bool lists_values = row.words.first_value != row.words.second_value;
    if ((row.kind == ValueKind::kEnumeration) != lists_values) return false;
    previous = row.record_offset;
  }
  return true;
}

}  // namespace report_checks

static_assert(kReportRowCount == 45, "45 values: 44 register words and the update time");
static_assert(report_checks::count_of(ValueKind::kFlag) == 13, "13 flags, 13 AlertArray twins");
static_assert(report_checks::count_of(ValueKind::kEnumeration) == 14);
static_assert(report_checks::count_of(ValueKind::kTenths) == 4, "the four temperature words");
static_assert(report_checks::count_of(ValueKind::kUpdateTime) == 1);
static_assert(report_checks::keys_are_distinct(), "every member has a key of its own");
static_assert(report_checks::rows_follow_the_record());

// Assigns every member of the report from `record`, top to bottom, turning a
// null `report` into an object; members already there are overwritten in
// place and none is removed. `shown` is the record that `report` was last
// built from (null for none): a text member whose word is the same there
// already holds its text and is left as it is.
void build_report(const Norvane_Data_t& record, const Norvane_Data_t* shown, Json::Value& report);

// "Y-M-D h:m:s" of a calendar stamp, each field a decimal integer without
// leading zeros: 2024-3-5 9:7:2; a zeroed stamp gives 0-0-0 0:0:0.
std::string update_time_text(const TTime& stamp);

}  // namespace norvane
