#include "gateway/readings/local_time.h"

#include <cstdio>
#include <cstdlib>

namespace gw::readings {
namespace {

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

bool is_possible(const CalendarTime& t) {
  return t.year >= 1970 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= days_in_month(t.year, t.month) && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 &&
         t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

std::tm broken_down(const CalendarTime& t) {
  std::tm fields{};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  fields.tm_hour = t.hour;
  fields.tm_min = t.minute;
  fields.tm_sec = t.second;
  fields.tm_isdst = -1;  // whatever the zone's rules say for that date
  return fields;
}

// Reads exactly `digits` decimal digits from the front of `text`.
bool take_number(std::string_view& text, int digits, int& value) {
  if (text.size() < static_cast<size_t>(digits)) return false;
  value = 0;
  for (int i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(digits);
  return true;
}

bool take_char(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

bool take_date(std::string_view& text, CalendarTime& t) {
  return take_number(text, 4, t.year) && take_char(text, '-') && take_number(text, 2, t.month) &&
         take_char(text, '-') && take_number(text, 2, t.day);
}

// "HH:MM" or "HH:MM:SS".
bool take_clock(std::string_view& text, CalendarTime& t) {
  if (!take_number(text, 2, t.hour) || !take_char(text, ':') || !take_number(text, 2, t.minute))
    return false;
  return !take_char(text, ':') || take_number(text, 2, t.second);
}

// "Z", "+hh:mm", "-hhmm" and the like: the offset east of UTC in seconds.
bool take_offset(std::string_view& text, long& seconds) {
  if (take_char(text, 'Z')) {
    seconds = 0;
    return true;
  }
  const bool west = take_char(text, '-');
  if (!west && !take_char(text, '+')) return false;
  int hours = 0, minutes = 0;
  if (!take_number(text, 2, hours)) return false;
  take_char(text, ':');
  if (!take_number(text, 2, minutes) || hours > 23 || minutes > 59) return false;
  seconds = (hours * 60L + minutes) * 60L * (west ? -1 : 1);
  return true;
}

}  // namespace

std::optional<std::time_t> instant_of_local(const CalendarTime& time) {
  if (!is_possible(time)) return std::nullopt;
  std::tm fields = broken_down(time);
  const std::time_t instant = std::mktime(&fields);
  if (instant == static_cast<std::time_t>(-1)) return std::nullopt;
  return instant;
}

std::string iso8601_local(std::time_t instant) {
  std::tm fields{};
  if (localtime_r(&instant, &fields) == nullptr) return {};
  // Offsets lie within a day; the bound keeps the text's length known.
  const int offset_minutes = static_cast<int>(fields.tm_gmtoff / 60 % (24 * 60));
  const int magnitude = std::abs(offset_minutes);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                fields.tm_min, fields.tm_sec, offset_minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

std::optional<std::time_t> parse_history_time(std::string_view text) {
  CalendarTime t;
  if (!take_date(text, t) || !take_char(text, ' ') || !take_clock(text, t) || !text.empty())
    return std::nullopt;
  return instant_of_local(t);
}

std::optional<std::string> history_time(std::time_t instant) {
  std::tm fields{};
  if (localtime_r(&instant, &fields) == nullptr) return std::nullopt;
  const int year = fields.tm_year + 1900;
  if (year < 1970 || year > 9999) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, fields.tm_mon + 1,
                fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

std::optional<std::time_t> parse_time_argument(std::string_view text) {
  CalendarTime t;
  if (!take_date(text, t)) return std::nullopt;
  if (!text.empty() && !((take_char(text, 'T') || take_char(text, ' ')) && take_clock(text, t)))
    return std::nullopt;
  if (text.empty()) return instant_of_local(t);
  long offset = 0;
  if (!take_offset(text, offset) || !text.empty() || !is_possible(t)) return std::nullopt;
  std::tm fields = broken_down(t);
  return timegm(&fields) - offset;
}

}  // namespace gw::readings
