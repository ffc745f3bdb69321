#include "driver/status_report.h"

#include <charconv>
#include <cstring>

namespace norvane {
namespace {

// Puts the text [begin, end) into `slot`. A text that is already there is
// left in place: most words stay the same from one round to the next, and
// keeping them spares the rebuild an allocation for each.
void assign_text(Json::Value& slot, const char* begin, const char* end) {
  const char* held_begin = nullptr;
  const char* held_end = nullptr;
  if (slot.isString() && slot.getString(&held_begin, &held_end) &&
      held_end - held_begin == end - begin && std::memcmp(held_begin, begin, end - begin) == 0)
    return;
  slot = Json::Value(begin, end);
}

void assign_text(Json::Value& slot, const char* text) {
  assign_text(slot, text, text + std::strlen(text));
}

const char* enumeration_word(const Enumeration& words, uint16_t word) {
  if (word == words.first_value) return words.first_word;
  if (word == words.second_value) return words.second_word;
  return zh::kInvalidValue;
}

// Room for the longest stamp text: 65535-255-255 255:255:255.
constexpr int kStampTextSize = 32;

// Writes the stamp's text into `text` and returns its end.
char* write_update_time(const TTime& stamp, char (&text)[kStampTextSize]) {
  // The one-byte fields are numbers, never characters.
  const unsigned fields[6] = {stamp.year, stamp.month,  stamp.day,
                              stamp.hour, stamp.minute, stamp.second};
  const char separators[5] = {'-', '-', ' ', ':', ':'};
  char* end = text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) *end++ = separators[i - 1];
    end = std::to_chars(end, text + kStampTextSize, fields[i]).ptr;
  }
  return end;
}

void assign_row(const ReportRow& row, const Norvane_Data_t& record, Json::Value& report) {
  Json::Value& slot = report[row.key];
  if (row.kind == ValueKind::kUpdateTime) {
    const TTime stamp = record.update_time;
    char text[kStampTextSize];
    assign_text(slot, text, write_update_time(stamp, text));
    return;
  }
  const uint16_t word = word_at_offset(record, row.record_offset);
  switch (row.kind) {
    case ValueKind::kTenths:
      // Divided in single precision, then widened: 253 gives 25.299999237060547.
      slot = Json::Value(static_cast<double>(static_cast<float>(word) / 10.0f));
      break;
    case ValueKind::kPlain:
      slot = Json::Value(static_cast<double>(word));
      break;
    case ValueKind::kFlag:
      assign_text(slot, word != 0 ? zh::kAlarm : zh::kNormal);
      report[kAlertArrayKey][row.key] = Json::Value(word != 0);
      break;
    case ValueKind::kEnumeration:
      assign_text(slot, enumeration_word(row.words, word));
      break;
    case ValueKind::kUpdateTime:
      break;
  }
}

}  // namespace

void build_report(const Norvane_Data_t& record, Json::Value& report) {
  for (const ReportRow& row : kReportRows) assign_row(row, record, report);
}

std::string update_time_text(const TTime& stamp) {
  char text[kStampTextSize];
  return std::string(text, write_update_time(stamp, text));
}

}  // namespace norvane
