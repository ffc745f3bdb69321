#include "gateway/unit_names.h"

#include <cstdio>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace gw {

std::string time_text(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "-";
  const auto date = time.date();
  const auto clock = time.time_of_day();
  char text[64];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<int>(date.month()), static_cast<int>(date.day()),
                static_cast<int>(clock.hours()), static_cast<int>(clock.minutes()),
                static_cast<int>(clock.seconds()));
  return text;
}

std::string now_text() { return time_text(boost::posix_time::second_clock::local_time()); }

}  // namespace gw
