#include "driver/status_report.h"

#include <charconv>
#include <cstring>

namespace norvane {
namespace {

// Puts a new value into `slot` by JsonCpp's swap, which has kept its
// signature across releases; the assignment operator has not (1.9 takes a
// reference or an rvalue, earlier releases took the value).
template <typename T>
void put(Json::Value& slot, T value) {
  Json::Value fresh(value);
  slot.swap(fresh);
}

const char* enumeration_word(const Enumeration& words, uint16_t word) {
  if (word == words.first_value) return words.first_word;
  if (word == words.second_value) return words.second_word;
  return zh::kInvalidValue;
}

// Room for the longest stamp text and its terminating zero:
// 65535-255-255 255:255:255.
constexpr int kStampTextSize = 32;

// Writes the stamp's text into `text`, terminated by a zero, and returns
// its end.
char* write_update_time(const TTime& stamp, char (&text)[kStampTextSize]) {
  // The one-byte fields are numbers, never characters.
  const unsigned fields[6] = {stamp.year, stamp.month,  stamp.day,
                              stamp.hour, stamp.minute, stamp.second};
  const char separators[5] = {'-', '-', ' ', ':', ':'};
  char* end = text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) *end++ = separators[i - 1];
    end = std::to_chars(end, text + kStampTextSize - 1, fields[i]).ptr;
  }
  *end = '\0';
  return end;
}

bool same_stamp(const TTime& a, const TTime& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Assigns the row's member from `record`. A text member is left in place
// when `shown` (the record the report was built from, null for the first
// build) has the same word: most words stay the same from one round to the
// next, and keeping their texts spares the rebuild an allocation for each.
void assign_row(const ReportRow& row, const Norvane_Data_t& record, const Norvane_Data_t* shown,
                Json::Value& report) {
  Json::Value& slot = report[row.key];
  if (row.kind == ValueKind::kUpdateTime) {
    const TTime stamp = record.update_time;
    if (shown != nullptr && same_stamp(stamp, shown->update_time)) return;
    char text[kStampTextSize];
    write_update_time(stamp, text);
    put<const char*>(slot, text);
    return;
  }
  const uint16_t word = word_at_offset(record, row.record_offset);
  const bool text_shown = shown != nullptr && word_at_offset(*shown, row.record_offset) == word;
  switch (row.kind) {
    case ValueKind::kTenths:
      // Divided in single precision, then widened: 253 gives 25.299999237060547.
      put(slot, static_cast<double>(static_cast<float>(word) / 10.0f));
      break;
    case ValueKind::kPlain:
      put(slot, static_cast<double>(word));
      break;
    case ValueKind::kFlag:
      if (!text_shown) put(slot, word != 0 ? zh::kAlarm : zh::kNormal);
      put(report[kAlertArrayKey][row.key], word != 0);
      break;
    case ValueKind::kEnumeration:
      if (!text_shown) put(slot, enumeration_word(row.words, word));
      break;
    case ValueKind::kUpdateTime:
      break;
  }
}

}  // namespace

void build_report(const Norvane_Data_t& record, const Norvane_Data_t* shown, Json::Value& report) {
  for (const ReportRow& row : kReportRows) assign_row(row, record, shown, report);
}

std::string update_time_text(const TTime& stamp) {
  char text[kStampTextSize];
  return std::string(text, write_update_time(stamp, text));
}

}  // namespace norvane
