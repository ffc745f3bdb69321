// Readings rendered for people and for other programs: text lines
// "name: value unit", JSON by English name, Prometheus-style metric names.
// Pure functions of a Readings value: no I/O.
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

#include "gateway/readings/readings.h"

namespace gw::readings {

// "\xC2\xB0C", "%", "s", or "" for a value without a unit.
const char* unit_symbol(MeasureUnit unit);

// A value without its unit, with the digits that its scale carries: "24.1",
// "-0.5", "50.0", "8760"; a flag's or an enumeration's English name
// ("running", "alarm"), or "invalid (N)" for a code outside the list.
std::string plain_value_text(const Reading& reading);
// A quantity that went through a float (a limit alarm's reading and limit)
// as people write it: rounded to hundredths, without trailing zeros or
// float noise: "24.2" (never "24.2000008"), "30", "-0.5"; "" for an
// infinity or NaN.
std::string decimal_text(double value);
// The same with the unit: "24.1 \xC2\xB0C", "50.1 %"; a run time with its
// whole hours for people: "31536000 s (8760 h)".
std::string value_text(const Reading& reading);
// "return_air_temperature: 24.1 \xC2\xB0C".
std::string reading_line(const Reading& reading);
// Every value a line ("\n" after each), then "update_time: " and the time
// in ISO 8601 with offset, or "none" for a record that was never stamped.
std::string readings_text(const Readings& readings);

// A value in JSON: a number (tenths as a double, whole words as an
// integer), a flag as a boolean (true: alarm), an enumeration as its name.
Json::Value reading_json(const Reading& reading);
// The reading that reading_json() gave `value` for: a number back to its
// register word, a boolean to a flag's, a name to its code. Nothing for a
// value that the row cannot have given.
std::optional<Reading> reading_from_json(const ReadingRow& row, const Json::Value& value);
// An object of every value by name (the update time is not among them:
// callers put the time where their format wants it).
Json::Value readings_json(const Readings& readings);
// Compact one-line JSON text, without a newline: doubles with at most 15
// significant digits (24.1, never 24.100000000000001), UTF-8 as it is.
std::string json_text(const Json::Value& value);

// "_celsius", "_percent", "_seconds", or "" for a value without a unit.
const char* metric_unit_suffix(MeasureUnit unit);
// A row's name with its unit: name + unit suffix, e.g.
// "return_air_temperature_celsius", "compressor_run_time_seconds",
// "run_state" (the history export's CSV columns).
std::string name_with_unit(const ReadingRow& row);
// The metric of a row: "norvane_" + name_with_unit(), e.g.
// "norvane_return_air_temperature_celsius",
// "norvane_compressor_run_time_seconds"; the update time is
// "norvane_update_time_seconds", a Unix time.
std::string metric_name(const ReadingRow& row);
// A number's or a flag's value as the metric gives it: number() in the
// metric's unit, with the digits that its scale
// carries: "24.1", "22032000", "1".
std::string metric_value(const Reading& reading);

}  // namespace gw::readings
