// The readings of the unit for people and for other programs: one row for
// every value of the plug-in's status report, with an English name, the unit
// of measure, the scale of the register word, the kind of value and the
// Chinese label of the report. Every output of the gateway (readable status,
// JSON Lines, metrics, MQTT, the history export, the page) and the manual's
// reference section take their names and units from this table.
//
// The table is checked against the record layout and the report's table at
// compile time (table_checks.h), so that a row cannot point at the
// wrong word or go missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/norvane_record.h"
#include "driver/texts_zh.h"

namespace gw::readings {

enum class MeasureUnit {
  kNone,
  kCelsius,  // degrees Celsius; the words are two's complement (a supply air below 0 C)
  kPercent,  // relative humidity, %
  kSeconds,  // run times: seconds everywhere (CSV, JSON, metrics, MQTT), the
             // base unit of time that Prometheus and Home Assistant take
};

// How a register word becomes the quantity. The unit delivers temperatures
// and humidities, set points and air values alike, in tenths (the simulated
// unit keeps 240 for 24.0 C and 500 for 50.0 %; the set-point commands write
// ten times the value); the four limit registers hold whole degrees and
// whole percent; the heartbeat is a plain count; run times are counts of
// whole hours, given in seconds.
enum class Scale {
  kTenths,  // word / 10
  kWhole,   // the word itself
  kHours,   // word * 3600: a count of hours as seconds
};

enum class ReadingKind {
  kNumber,       // a quantity in `unit`, scaled
  kEnumeration,  // one of two listed codes, each with an English name
  kFlag,         // 0 "normal", any other word "alarm"
  kTime,         // the record's update time (local calendar time)
};

struct ValueName {
  uint16_t code;
  const char* name;
};

// The two listed codes of an enumeration; other kinds list none ({0, nullptr} twice).
struct ValueNames {
  ValueName first;
  ValueName second;
};

struct ReadingRow {
  const char* name;         // English snake_case name: JSON key, metric and MQTT names
  const char* description;  // English, for people: the manual, page, discovery messages
  const char* label_zh;     // the report's key for this value (driver/texts_zh.h)
  int register_number;      // Modbus register (= PDU address); 0 for the update time
  int record_offset;        // byte offset of the word (of the 7-byte stamp for the time)
  ReadingKind kind;
  MeasureUnit unit;
  Scale scale;
  ValueNames values;  // enumerations only
};

inline constexpr char kFlagNormal[] = "normal";
inline constexpr char kFlagAlarm[] = "alarm";

namespace rows {

constexpr ReadingRow number(const char* name, int reg, int offset, MeasureUnit unit, Scale scale,
                            const char* label_zh, const char* description) {
  return {name, description, label_zh, reg, offset, ReadingKind::kNumber, unit, scale, {}};
}

constexpr ReadingRow enumeration(const char* name, int reg, int offset, ValueNames values,
                                 const char* label_zh, const char* description) {
  const ReadingKind kind = ReadingKind::kEnumeration;
  return {name, description,        label_zh,      reg,   offset,
          kind, MeasureUnit::kNone, Scale::kWhole, values};
}

constexpr ReadingRow flag(const char* name, int reg, int offset, const char* label_zh,
                          const char* description) {
  const ReadingKind kind = ReadingKind::kFlag;
  return {name, description, label_zh, reg, offset, kind, MeasureUnit::kNone, Scale::kWhole, {}};
}

inline constexpr ValueNames kOnOffSetting{{85, "off"}, {170, "on"}};
inline constexpr ValueNames kLock{{0, "unlocked"}, {1, "locked"}};
inline constexpr ValueNames kClearing{{0, "keep"}, {1, "clear"}};
inline constexpr ValueNames kPresence{{0, "none"}, {1, "present"}};
inline constexpr ValueNames kRunState{{0, "stopped"}, {1, "running"}};
inline constexpr ValueNames kRunMode{{0, "automatic"}, {1, "manual"}};
inline constexpr ValueNames kSwitch{{0, "off"}, {1, "on"}};

}  // namespace rows

#define NORVANE_AT(field) static_cast<int>(offsetof(Norvane_Data_t, field))

// In the report's order, which is the record's. The four component fault
// words (registers 39 to 42) are flags here: the unit sets them non-zero for
// a fault, and the alarm checks read them so; the report shows them with
// the run-state words.
inline constexpr ReadingRow kReadingRows[] = {
    rows::number("set_temperature", 1, NORVANE_AT(set_temperature), MeasureUnit::kCelsius,
                 Scale::kTenths, norvane::zh::kSetTemperature, "Temperature set point"),
    rows::number("set_humidity", 2, NORVANE_AT(set_humidity), MeasureUnit::kPercent, Scale::kTenths,
                 norvane::zh::kSetHumidity, "Humidity set point"),
    rows::number("temperature_precision", 3, NORVANE_AT(temperature_precision),
                 MeasureUnit::kCelsius, Scale::kTenths, norvane::zh::kTemperaturePrecision,
                 "Temperature precision (control band)"),
    rows::number("humidity_precision", 4, NORVANE_AT(humidity_precision), MeasureUnit::kPercent,
                 Scale::kTenths, norvane::zh::kHumidityPrecision,
                 "Humidity precision (control band)"),
    rows::number("return_air_temperature_upper_limit", 7, NORVANE_AT(return_temp_upper_limit),
                 MeasureUnit::kCelsius, Scale::kWhole, norvane::zh::kReturnTempUpperLimit,
                 "Return air temperature upper limit (the unit's)"),
    rows::number("return_air_temperature_lower_limit", 8, NORVANE_AT(return_temp_lower_limit),
                 MeasureUnit::kCelsius, Scale::kWhole, norvane::zh::kReturnTempLowerLimit,
                 "Return air temperature lower limit (the unit's)"),
    rows::number("return_air_humidity_upper_limit", 9, NORVANE_AT(return_humidity_upper_limit),
                 MeasureUnit::kPercent, Scale::kWhole, norvane::zh::kReturnHumidityUpperLimit,
                 "Return air humidity upper limit (the unit's)"),
    rows::number("return_air_humidity_lower_limit", 10, NORVANE_AT(return_humidity_lower_limit),
                 MeasureUnit::kPercent, Scale::kWhole, norvane::zh::kReturnHumidityLowerLimit,
                 "Return air humidity lower limit (the unit's)"),
    rows::enumeration("unit_on_off", 13, NORVANE_AT(unit_on_off), rows::kOnOffSetting,
                      norvane::zh::kUnitOnOff, "Unit switched on or off (setting)"),
    rows::enumeration("touch_screen_lock", 14, NORVANE_AT(touch_screen_lock), rows::kLock,
                      norvane::zh::kTouchScreenLock, "Touch screen locked (setting)"),
    rows::enumeration("clear_fault", 15, NORVANE_AT(clear_fault), rows::kClearing,
                      norvane::zh::kClearFault, "Clearing of faults (setting)"),
    rows::number("return_air_temperature", 22, NORVANE_AT(return_air_temp), MeasureUnit::kCelsius,
                 Scale::kTenths, norvane::zh::kReturnAirTemp, "Return air temperature"),
    rows::number("return_air_humidity", 23, NORVANE_AT(return_air_humidity), MeasureUnit::kPercent,
                 Scale::kTenths, norvane::zh::kReturnAirHumidity, "Return air humidity"),
    rows::number("supply_air_temperature", 24, NORVANE_AT(supply_air_temp), MeasureUnit::kCelsius,
                 Scale::kTenths, norvane::zh::kSupplyAirTemp, "Supply air temperature"),
    rows::number("supply_air_humidity", 25, NORVANE_AT(supply_air_humidity), MeasureUnit::kPercent,
                 Scale::kTenths, norvane::zh::kSupplyAirHumidity, "Supply air humidity"),
    rows::enumeration("unit_fault", 26, NORVANE_AT(unit_fault), rows::kPresence,
                      norvane::zh::kUnitFault, "Fault of the whole unit"),
    rows::enumeration("run_state", 27, NORVANE_AT(run_state), rows::kRunState,
                      norvane::zh::kRunState, "Run state"),
    rows::enumeration("run_mode", 29, NORVANE_AT(run_mode), rows::kRunMode, norvane::zh::kRunMode,
                      "Run mode"),
    rows::flag("filter_clogged", 30, NORVANE_AT(filter_clogged), norvane::zh::kFilterClogged,
               "Air filter clogged"),
    rows::flag("water_on_floor", 31, NORVANE_AT(floor_water_alarm), norvane::zh::kFloorWater,
               "Water on the floor"),
    rows::enumeration("indoor_fan", 33, NORVANE_AT(indoor_fan_on), rows::kSwitch,
                      norvane::zh::kIndoorFan, "Indoor fan running"),
    rows::enumeration("compressor", 34, NORVANE_AT(compressor_on), rows::kSwitch,
                      norvane::zh::kCompressor, "Compressor running"),
    rows::enumeration("heater", 35, NORVANE_AT(heater_on), rows::kSwitch, norvane::zh::kHeater,
                      "Electric heater running"),
    rows::enumeration("humidifier", 36, NORVANE_AT(humidifier_on), rows::kSwitch,
                      norvane::zh::kHumidifier, "Humidifier running"),
    rows::flag("condensate_drain_fault", 38, NORVANE_AT(drain_alarm), norvane::zh::kDrainAlarm,
               "Abnormal condensate drainage"),
    rows::flag("indoor_fan_fault", 39, NORVANE_AT(indoor_fan_fault), norvane::zh::kIndoorFanFault,
               "Indoor fan fault (overload)"),
    rows::flag("compressor_fault", 40, NORVANE_AT(compressor_fault), norvane::zh::kCompressorFault,
               "Compressor fault"),
    rows::flag("heater_fault", 41, NORVANE_AT(heater_fault), norvane::zh::kHeaterFault,
               "Electric heater fault"),
    rows::flag("humidifier_fault", 42, NORVANE_AT(humidifier_fault), norvane::zh::kHumidifierFault,
               "Humidifier fault"),
    rows::flag("outdoor_unit_fault", 43, NORVANE_AT(outdoor_unit_fault),
               norvane::zh::kOutdoorUnitFault, "Outdoor unit fault"),
    rows::number("heartbeat", 45, NORVANE_AT(heartbeat), MeasureUnit::kNone, Scale::kWhole,
                 norvane::zh::kHeartbeat, "Communication heartbeat of the unit (a count)"),
    rows::flag("return_air_temperature_high_swing", 48, NORVANE_AT(return_temp_high_swing),
               norvane::zh::kReturnTempHighSwing,
               "Return air temperature too high, fluctuation beyond limit"),
    rows::flag("return_air_temperature_low_swing", 49, NORVANE_AT(return_temp_low_swing),
               norvane::zh::kReturnTempLowSwing,
               "Return air temperature too low, fluctuation beyond limit"),
    rows::flag("return_air_humidity_high_swing", 50, NORVANE_AT(return_humidity_high_swing),
               norvane::zh::kReturnHumidityHighSwing,
               "Return air humidity too high, fluctuation beyond limit"),
    rows::flag("return_air_humidity_low_swing", 51, NORVANE_AT(return_humidity_low_swing),
               norvane::zh::kReturnHumidityLowSwing,
               "Return air humidity too low, fluctuation beyond limit"),
    rows::flag("power_fault", 55, NORVANE_AT(power_fault), norvane::zh::kPowerFault,
               "Power supply fault"),
    rows::flag("touch_screen_comm_fault", 56, NORVANE_AT(touch_screen_comm_fault),
               norvane::zh::kTouchScreenCommFault, "Touch screen communication fault"),
    rows::flag("low_air_pressure", 59, NORVANE_AT(low_air_pressure_alarm),
               norvane::zh::kLowAirPressure, "Low air pressure"),
    rows::flag("compressor_high_pressure", 60, NORVANE_AT(compressor_high_pressure),
               norvane::zh::kCompressorHighPressure, "Compressor high-pressure protection"),
    rows::flag("compressor_low_pressure", 61, NORVANE_AT(compressor_low_pressure),
               norvane::zh::kCompressorLowPressure, "Compressor low-pressure protection"),
    rows::number("indoor_fan_run_time", 62, NORVANE_AT(indoor_fan_run_time), MeasureUnit::kSeconds,
                 Scale::kHours, norvane::zh::kIndoorFanRunTime, "Indoor fan run time"),
    rows::number("compressor_run_time", 63, NORVANE_AT(compressor_run_time), MeasureUnit::kSeconds,
                 Scale::kHours, norvane::zh::kCompressorRunTime, "Compressor run time"),
    rows::number("humidifier_run_time", 64, NORVANE_AT(humidifier_run_time), MeasureUnit::kSeconds,
                 Scale::kHours, norvane::zh::kHumidifierRunTime, "Humidifier run time"),
    rows::number("heater_run_time", 65, NORVANE_AT(heater_run_time), MeasureUnit::kSeconds,
                 Scale::kHours, norvane::zh::kHeaterRunTime, "Electric heater run time"),
    {"update_time",
     "Local time of the round that filled the record",
     norvane::zh::kUpdateTime,
     0,
     NORVANE_AT(update_time),
     ReadingKind::kTime,
     MeasureUnit::kNone,
     Scale::kWhole,
     {}},
};

#undef NORVANE_AT

inline constexpr int kReadingRowCount = sizeof(kReadingRows) / sizeof(kReadingRows[0]);
// The rows of register words: all but the update time, which comes last.
inline constexpr int kWordReadingCount = kReadingRowCount - 1;

// The row of a name; nullptr for a name the table does not have.
constexpr const ReadingRow* reading_row(std::string_view name) {
  for (const ReadingRow& row : kReadingRows)
    if (name == row.name) return &row;
  return nullptr;
}

// Temperatures are two's complement words; every other word is unsigned.
constexpr bool is_signed(const ReadingRow& row) { return row.unit == MeasureUnit::kCelsius; }

}  // namespace gw::readings
