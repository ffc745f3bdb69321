#include "gateway/base/iso_time.h"

#include <time.h>

#include <cstdio>

namespace gw::base {

std::string iso_time(SystemTime time, bool millis) {
  using namespace std::chrono;
  const time_t seconds = system_clock::to_time_t(time);
  tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  // %z gives +0200; ISO 8601's extended form wants +02:00.
  const long offset_min = local.tm_gmtoff / 60;
  const char sign = offset_min < 0 ? '-' : '+';
  const long magnitude = offset_min < 0 ? -offset_min : offset_min;
  char text[64];
  if (millis) {
    const long ms =
        static_cast<long>(duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000 +
                          1000) %
        1000;
    std::snprintf(text, sizeof text, "%s.%03ld%c%02ld:%02ld", date, ms, sign, magnitude / 60,
                  magnitude % 60);
  } else {
    std::snprintf(text, sizeof text, "%s%c%02ld:%02ld", date, sign, magnitude / 60, magnitude % 60);
  }
  return text;
}

}  // namespace gw::base
