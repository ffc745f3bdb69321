#include "gateway/line/wire_time.h"

#include <algorithm>

namespace gw::line::wire {
namespace {

constexpr int kFastLineBaud = 19200;           // above it the silent interval is fixed
constexpr Duration kFastLineSilence{1750000};  // 1.75 ms
constexpr long kSilentHalfCharacters = 7;      // 3.5 characters
constexpr long kNanosecondsPerSecond = 1000000000L;

int bits_per_character(const config::BusSettings& bus) {
  return 1 + bus.data_bits + (bus.parity == 'N' ? 0 : 1) + bus.stop_bits;
}

}  // namespace

LineTiming line_timing(const config::BusSettings& bus) {
  const long bits = bits_per_character(bus);
  LineTiming timing;
  timing.character = Duration(bits * kNanosecondsPerSecond / bus.baud);
  timing.silence =
      bus.baud > kFastLineBaud
          ? kFastLineSilence
          : Duration(kSilentHalfCharacters * bits * kNanosecondsPerSecond / (2L * bus.baud));
  return timing;
}

Duration frames_time(const LineTiming& timing, int characters) {
  return timing.character * characters;
}

Duration byte_timeout(const LineTiming& timing, std::chrono::milliseconds response_timeout) {
  return std::min<Duration>(frames_time(timing, kByteTimeoutCharacters) + kByteTimeoutMargin,
                            response_timeout);
}

}  // namespace gw::line::wire
