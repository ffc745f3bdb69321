// Compile-time checks of the readings table and the alarm table against
// the record layout, the plug-in's report table and its alarm checks.
// Included by every source of the outputs that uses the tables, so that a
// build with a row out of place fails.
#pragma once

#include "driver/alarm_checks.h"
#include "driver/commands.h"
#include "driver/status_report.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/reading_table.h"

namespace gw::readings::table_checks {

using norvane::kReportRowCount;
using norvane::kReportRows;
using norvane::ValueKind;
using norvane::report_checks::same_text;

constexpr int kUpdateTimeOffset = static_cast<int>(offsetof(Norvane_Data_t, update_time));

constexpr bool is_snake_case(const char* name) {
  if (name[0] < 'a' || name[0] > 'z') return false;
  char previous = name[0];
  for (const char* c = name + 1; *c != '\0'; previous = *c, ++c) {
    const bool allowed = (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '_';
    if (!allowed || (*c == '_' && previous == '_')) return false;
  }
  return previous != '_';
}

constexpr bool names_are_distinct_snake_case() {
  for (int i = 0; i < kReadingRowCount; ++i) {
    if (!is_snake_case(kReadingRows[i].name)) return false;
    for (int j = i + 1; j < kReadingRowCount; ++j)
      if (same_text(kReadingRows[i].name, kReadingRows[j].name)) return false;
  }
  return true;
}

// A word row names a register that the poll round reads, and its word lies
// inside the record's register words; the update time is the last row.
constexpr bool row_is_in_the_record(const ReadingRow& row, bool last) {
  if (last)
    return row.kind == ReadingKind::kTime && row.register_number == 0 &&
           row.record_offset == kUpdateTimeOffset &&
           kUpdateTimeOffset + static_cast<int>(sizeof(TTime)) == norvane::kRecordSize;
  return row.kind != ReadingKind::kTime && row.record_offset >= 4 &&
         row.record_offset + 2 <= kUpdateTimeOffset &&
         norvane::record_offset_of_register(row.register_number) == row.record_offset;
}

// Units and scales go with the kind: only numbers have a unit or tenths,
// only enumerations list codes, two different ones with names.
constexpr bool row_is_consistent(const ReadingRow& row) {
  const ValueNames& v = row.values;
  const bool lists_codes = v.first.name != nullptr && v.second.name != nullptr &&
                           v.first.code != v.second.code && !same_text(v.first.name, v.second.name);
  const bool lists_nothing = v.first.name == nullptr && v.second.name == nullptr;
  if (row.kind == ReadingKind::kEnumeration) return lists_codes && row.unit == MeasureUnit::kNone;
  if (!lists_nothing) return false;
  if (row.kind == ReadingKind::kNumber) return true;
  return row.unit == MeasureUnit::kNone && row.scale == Scale::kWhole;
}

// The row reads the word that the report's row of the same place reads,
// under the same Chinese label, in a way that fits the report's: the report
// divides exactly the temperatures in tenths by ten (it shows the humidity
// words undivided, which hold tenths as well); its flags are flags here; its
// enumerations list the same codes, or are the fault words (codes 0 and 1)
// that are flags here.
constexpr bool row_matches_the_report(const ReadingRow& row, const norvane::ReportRow& report) {
  if (row.record_offset != report.record_offset || !same_text(row.label_zh, report.key))
    return false;
  switch (report.kind) {
    case ValueKind::kTenths:
      return row.kind == ReadingKind::kNumber && row.unit == MeasureUnit::kCelsius &&
             row.scale == Scale::kTenths;
    case ValueKind::kPlain:
      return row.kind == ReadingKind::kNumber &&
             !(row.unit == MeasureUnit::kCelsius && row.scale == Scale::kTenths);
    case ValueKind::kFlag:
      return row.kind == ReadingKind::kFlag;
    case ValueKind::kEnumeration:
      if (row.kind == ReadingKind::kFlag)
        return report.words.first_value == 0 && report.words.second_value == 1;
      return row.kind == ReadingKind::kEnumeration &&
             row.values.first.code == report.words.first_value &&
             row.values.second.code == report.words.second_value;
    case ValueKind::kUpdateTime:
      return row.kind == ReadingKind::kTime;
  }
  return false;
}

constexpr bool rows_fit_record_and_report() {
  for (int i = 0; i < kReadingRowCount; ++i) {
    const ReadingRow& row = kReadingRows[i];
    if (!row_is_in_the_record(row, i == kReadingRowCount - 1) || !row_is_consistent(row) ||
        !row_matches_the_report(row, kReportRows[i]))
      return false;
  }
  return true;
}

// Index of the row of that name, or -1. (An index, not a pointer: with
// the sanitizers on, g++ does not compare addresses in constant expressions.)
constexpr int row_index(const char* name) {
  for (int i = 0; i < kReadingRowCount; ++i)
    if (same_text(kReadingRows[i].name, name)) return i;
  return -1;
}

// The plug-in's checks, in their order, then comm_lost; each check's
// reading is the word that the check reads.
constexpr bool alarms_follow_the_checks() {
  if (kAlarmRowCount != norvane::kAlarmCheckCount + 1) return false;
  for (int i = 0; i < norvane::kAlarmCheckCount; ++i) {
    const norvane::AlarmCheck& check = norvane::kAlarmChecks[i];
    const AlarmRow& alarm = kAlarmRows[i];
    const int reading = alarm.reading != nullptr ? row_index(alarm.reading) : -1;
    if (!same_text(alarm.signal_id, check.signal_id) || reading < 0 ||
        kReadingRows[reading].record_offset != check.record_offset)
      return false;
  }
  const AlarmRow& last = kAlarmRows[kAlarmRowCount - 1];
  return same_text(last.signal_id, kCommLostSignalId) && last.reading == nullptr;
}

// A limit alarm's stand-in limit is a reading in the unit of the reading
// it is compared with; a flag alarm has none. Every default level is named.
constexpr bool limit_alarms_have_the_units_limit() {
  for (int i = 0; i < norvane::kAlarmCheckCount; ++i) {
    const AlarmRow& alarm = kAlarmRows[i];
    const bool flag = norvane::kAlarmChecks[i].condition == norvane::AlarmCondition::kFlagSet;
    if (flag != (alarm.unit_limit == nullptr)) return false;
    if (flag) continue;
    const int limit = row_index(alarm.unit_limit);
    if (limit < 0 || kReadingRows[limit].unit != kReadingRows[row_index(alarm.reading)].unit)
      return false;
  }
  return kAlarmRows[kAlarmRowCount - 1].unit_limit == nullptr;
}

constexpr bool default_levels_are_named() {
  for (const AlarmRow& alarm : kAlarmRows) {
    bool named = false;
    for (const AlarmLevel& level : kAlarmLevels)
      named = named || level.level == alarm.default_level;
    if (!named) return false;
  }
  return true;
}

static_assert(kReadingRowCount == kReportRowCount, "one reading for every value of the report");
static_assert(names_are_distinct_snake_case(), "names are snake_case, each its own");
static_assert(rows_fit_record_and_report(),
              "every row reads its register's word, as the report's row of its place does");
static_assert(alarms_follow_the_checks(),
              "a title for each alarm check, in its order, and comm_lost last");
static_assert(limit_alarms_have_the_units_limit(),
              "a limit alarm falls back on the unit's limit of the same quantity");
static_assert(default_levels_are_named(), "every alarm is supervised by default at a named level");

// The names of the on/off setting's words are the driver's off and on words.
static_assert(readings::rows::kOnOffSetting.first.code == norvane::kSwitchCommands[1].word &&
                  readings::rows::kOnOffSetting.second.code == norvane::kSwitchCommands[0].word,
              "off, then on, as the driver writes them");

}  // namespace gw::readings::table_checks
