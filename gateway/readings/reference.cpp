#include "gateway/readings/reference.h"

#include <string_view>

#include "gateway/readings/render.h"
#include "gateway/readings/table_checks.h"

namespace gw::readings {
namespace {

std::string cell(std::string_view text) { return text.empty() ? "-" : std::string(text); }

std::string code(std::string_view text) { return "`" + std::string(text) + "`"; }

std::string record_bytes(const ReadingRow& row) {
  const int size = row.kind == ReadingKind::kTime ? 7 : 2;
  return std::to_string(row.record_offset) + "-" + std::to_string(row.record_offset + size - 1);
}

std::string scale_text(const ReadingRow& row) {
  if (row.kind != ReadingKind::kNumber) return "-";
  const char* scale = row.scale == Scale::kTenths  ? "tenths"
                      : row.scale == Scale::kHours ? "hours as seconds"
                                                   : "whole";
  return std::string(scale) + (is_signed(row) ? ", signed" : "");
}

// A number row's range: its lowest and highest word, scaled.
std::string range_text(const ReadingRow& row) {
  const uint16_t lowest = is_signed(row) ? 0x8000 : 0, highest = is_signed(row) ? 0x7FFF : 0xFFFF;
  return plain_value_text(Reading{&row, lowest}) + " to " +
         plain_value_text(Reading{&row, highest});
}

std::string values_text(const ReadingRow& row) {
  switch (row.kind) {
    case ReadingKind::kNumber:
      return range_text(row);
    case ReadingKind::kFlag:
      return std::string("0 ") + kFlagNormal + ", other " + kFlagAlarm;
    case ReadingKind::kEnumeration:
      return std::to_string(row.values.first.code) + " " + row.values.first.name + ", " +
             std::to_string(row.values.second.code) + " " + row.values.second.name +
             ", other invalid";
    case ReadingKind::kTime:
      break;
  }
  return "ISO 8601 with offset";
}

std::string reading_table_row(const ReadingRow& row) {
  const std::string reg = row.register_number > 0 ? std::to_string(row.register_number) : "-";
  return "| " + code(row.name) + " | " + reg + " | " + record_bytes(row) + " | " +
         cell(unit_symbol(row.unit)) + " | " + scale_text(row) + " | " + values_text(row) + " | " +
         row.label_zh + " | " + row.description + " |\n";
}

std::string raised_when(int index) {
  if (index >= norvane::kAlarmCheckCount)
    return "the unit completed no round for `lost_after_rounds` rounds (the gateway's own alarm)";
  const norvane::AlarmCheck& check = norvane::kAlarmChecks[index];
  const std::string reading = code(kAlarmRows[index].reading);
  switch (check.condition) {
    case norvane::AlarmCondition::kAboveLimit:
      return reading + " above its limit";
    case norvane::AlarmCondition::kBelowLimit:
      return reading + " below its limit";
    case norvane::AlarmCondition::kFlagSet:
      break;
  }
  return reading + " not 0";
}

std::string alarm_table_row(int index) {
  const AlarmRow& alarm = kAlarmRows[index];
  const char* title_zh =
      index < norvane::kAlarmCheckCount ? norvane::kAlarmChecks[index].title : "";
  const std::string level =
      std::to_string(alarm.default_level) + " " + level_name(alarm.default_level);
  const std::string limit = alarm.unit_limit != nullptr ? code(alarm.unit_limit) : "-";
  return "| " + code(alarm.signal_id) + " | " + alarm.title + " | " + raised_when(index) + " | " +
         level + " | " + limit + " | " + cell(title_zh) + " |\n";
}

}  // namespace

std::string reference_markdown() {
  std::string text =
      "| Name | Register | Record bytes | Unit | Scale | Values | Label in the plug-in's report | "
      "Meaning |\n"
      "|---|---|---|---|---|---|---|---|\n";
  for (const ReadingRow& row : kReadingRows) text += reading_table_row(row);
  text +=
      "\n"
      "| Signal id | Title | Raised when | Default level | Limit without `alarm_thresholds` | "
      "Title in the plug-in's alarm |\n"
      "|---|---|---|---|---|---|\n";
  for (int i = 0; i < kAlarmRowCount; ++i) text += alarm_table_row(i);
  text +=
      "\n"
      "| Level | Name | Meaning |\n"
      "|---|---|---|\n";
  for (const AlarmLevel& level : kAlarmLevels)
    text += "| " + std::to_string(level.level) + " | " + code(level.name) + " | " + level.meaning +
            " |\n";
  return text;
}

std::optional<std::string> reference_section(const std::string& document) {
  return base::marked_section(document, kReferenceMarkers);
}

std::optional<std::string> with_reference_section(const std::string& document,
                                                  const std::string& section) {
  return base::with_marked_section(document, kReferenceMarkers, section);
}

}  // namespace gw::readings
