#include "gateway/readings/render.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <json/writer.h>

namespace gw::readings {
namespace {

// The word as the quantity's integer count (of tenths or of wholes).
int count_of(const Reading& reading) {
  return is_signed(*reading.row) ? static_cast<int16_t>(reading.word) : reading.word;
}

std::string number_text(const Reading& reading) {
  const int count = count_of(reading);
  if (reading.row->scale == Scale::kWhole) return std::to_string(count);
  if (reading.row->scale == Scale::kHours) return std::to_string(count * 3600L);
  const int magnitude = std::abs(count);
  return (count < 0 ? "-" : "") + std::to_string(magnitude / 10) + "." +
         std::to_string(magnitude % 10);
}

Json::StreamWriterBuilder compact_writer() {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["precision"] = 15;
  builder["emitUTF8"] = true;
  return builder;
}

}  // namespace

const char* unit_symbol(MeasureUnit unit) {
  switch (unit) {
    case MeasureUnit::kCelsius:
      return "\xC2\xB0"
             "C";
    case MeasureUnit::kPercent:
      return "%";
    case MeasureUnit::kSeconds:
      return "s";
    case MeasureUnit::kNone:
      break;
  }
  return "";
}

std::string plain_value_text(const Reading& reading) {
  if (reading.row->kind == ReadingKind::kNumber) return number_text(reading);
  if (const char* name = reading.value_name()) return name;
  return "invalid (" + std::to_string(reading.word) + ")";
}

std::string decimal_text(double value) {
  if (!std::isfinite(value)) return "";
  char text[400];  // the widest double in %.2f takes 312 bytes
  std::snprintf(text, sizeof text, "%.2f", value);
  std::string decimal = text;
  if (decimal.find('.') != std::string::npos) {
    decimal.erase(decimal.find_last_not_of('0') + 1);
    if (decimal.back() == '.') decimal.pop_back();
  }
  return decimal == "-0" ? "0" : decimal;
}

std::string value_text(const Reading& reading) {
  const char* symbol = unit_symbol(reading.row->unit);
  std::string text = plain_value_text(reading);
  if (*symbol != '\0') text.append(" ").append(symbol);
  if (reading.row->scale == Scale::kHours) text += " (" + std::to_string(count_of(reading)) + " h)";
  return text;
}

std::string reading_line(const Reading& reading) {
  return std::string(reading.row->name) + ": " + value_text(reading);
}

std::string readings_text(const Readings& readings) {
  std::string text;
  for (const Reading& reading : readings.values()) text += reading_line(reading) + "\n";
  const std::optional<std::time_t> time = readings.time();
  text += std::string(kReadingRows[kWordReadingCount].name) + ": " +
          (time ? iso8601_local(*time) : "none") + "\n";
  return text;
}

Json::Value reading_json(const Reading& reading) {
  switch (reading.row->kind) {
    case ReadingKind::kNumber:
      if (reading.row->scale == Scale::kTenths) return reading.number();
      if (reading.row->scale == Scale::kHours) return Json::Int64{count_of(reading) * 3600LL};
      return count_of(reading);
    case ReadingKind::kFlag:
      return reading.is_alarm();
    case ReadingKind::kEnumeration:
    case ReadingKind::kTime:
      break;
  }
  return plain_value_text(reading);
}

namespace {

std::optional<uint16_t> word_of_number(const ReadingRow& row, const Json::Value& value) {
  if (!value.isNumeric()) return std::nullopt;
  double count = value.asDouble();
  if (row.scale == Scale::kTenths) count *= 10;
  if (row.scale == Scale::kHours) count /= 3600;
  const double low = is_signed(row) ? -32768 : 0, high = is_signed(row) ? 32767 : 65535;
  if (!(count >= low - 0.5 && count <= high + 0.5)) return std::nullopt;
  return static_cast<uint16_t>(static_cast<int32_t>(std::lround(count)));
}

std::optional<uint16_t> code_of_name(const ReadingRow& row, const Json::Value& value) {
  if (!value.isString()) return std::nullopt;
  const std::string name = value.asString();
  for (const ValueName& listed : {row.values.first, row.values.second})
    if (listed.name != nullptr && name == listed.name) return listed.code;
  unsigned code = 0;  // "invalid (N)"
  if (std::sscanf(name.c_str(), "invalid (%u)", &code) == 1 && code <= 65535)
    return static_cast<uint16_t>(code);
  return std::nullopt;
}

}  // namespace

std::optional<Reading> reading_from_json(const ReadingRow& row, const Json::Value& value) {
  std::optional<uint16_t> word;
  switch (row.kind) {
    case ReadingKind::kNumber:
      word = word_of_number(row, value);
      break;
    case ReadingKind::kFlag:
      if (value.isBool()) word = value.asBool() ? 1 : 0;
      break;
    case ReadingKind::kEnumeration:
      word = code_of_name(row, value);
      break;
    case ReadingKind::kTime:
      break;
  }
  if (!word) return std::nullopt;
  return Reading{&row, *word};
}

Json::Value readings_json(const Readings& readings) {
  Json::Value object(Json::objectValue);
  for (const Reading& reading : readings.values())
    object[reading.row->name] = reading_json(reading);
  return object;
}

std::string json_text(const Json::Value& value) {
  static const Json::StreamWriterBuilder builder = compact_writer();
  return Json::writeString(builder, value);
}

const char* metric_unit_suffix(MeasureUnit unit) {
  switch (unit) {
    case MeasureUnit::kCelsius:
      return "_celsius";
    case MeasureUnit::kPercent:
      return "_percent";
    case MeasureUnit::kSeconds:
      return "_seconds";
    case MeasureUnit::kNone:
      break;
  }
  return "";
}

std::string name_with_unit(const ReadingRow& row) {
  return row.name + std::string(metric_unit_suffix(row.unit));
}

std::string metric_name(const ReadingRow& row) {
  if (row.kind == ReadingKind::kTime) return std::string("norvane_") + row.name + "_seconds";
  return "norvane_" + name_with_unit(row);
}

std::string metric_value(const Reading& reading) {
  if (reading.row->kind == ReadingKind::kFlag) return reading.is_alarm() ? "1" : "0";
  return number_text(reading);
}

}  // namespace gw::readings
