// The local wall-clock time at one-second resolution, as Boost's
// second_clock::local_time gives it, built the same way (time, localtime_r,
// then the calendar fields).
//
// Boost's own throws std::runtime_error built from a C string when the
// calendar time has no local time; that constructor came with GCC 5's
// libstdc++ (GLIBCXX_3.4.21), and the plug-in built for older hosts must not
// need it. This one throws the same error, built from a std::string.
#pragma once

#include <time.h>

#include <ctime>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace device_clock {

inline boost::posix_time::ptime local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm fields;
  if (localtime_r(&now, &fields) == nullptr)
    throw std::runtime_error(std::string("could not convert calendar time to local time"));
  const boost::gregorian::date day(static_cast<unsigned short>(fields.tm_year + 1900),
                                   static_cast<unsigned short>(fields.tm_mon + 1),
                                   static_cast<unsigned short>(fields.tm_mday));
  return boost::posix_time::ptime(
      day, boost::posix_time::time_duration(fields.tm_hour, fields.tm_min, fields.tm_sec));
}

}  // namespace device_clock
