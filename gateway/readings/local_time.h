// Times of the readings: the records and the history keep local wall-clock
// time without an offset; the outputs give ISO 8601 with the offset of the
// gateway's time zone (the process's TZ), which names the instant.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace gw::readings {

// Calendar fields of a local wall-clock time: month 1-12, day 1-31, hour
// 0-23, minute and second 0-59.
struct CalendarTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The instant of a local calendar time; nothing for a zeroed stamp or
// impossible fields (month 13, 31 April, hour 24, a year before 1970 or
// after 9999). In the hour that the end of summer time repeats, one of the
// two instants.
std::optional<std::time_t> instant_of_local(const CalendarTime& time);

// "2024-03-05T09:07:02+08:00": the instant in the local time zone with its
// offset (+00:00 for UTC).
std::string iso8601_local(std::time_t instant);

// A history time "YYYY-MM-DD HH:MM:SS" (local), as the gateway stores it.
std::optional<std::time_t> parse_history_time(std::string_view text);
// The history time of an instant; nothing outside the years 1970 to 9999,
// where the text would not sort as the instants do.
std::optional<std::string> history_time(std::time_t instant);

// A time given by a person, in ISO 8601: a date "2024-03-05", or a date and
// a time to the minute or second, "T" or one space between
// ("2024-03-05T09:07", "2024-03-05 09:07:02"), then "Z" or an offset
// ("+08:00", "-0500") or nothing for local time. Nothing if it is not one.
std::optional<std::time_t> parse_time_argument(std::string_view text);

}  // namespace gw::readings
