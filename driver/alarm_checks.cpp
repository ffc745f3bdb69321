#include "driver/alarm_checks.h"

#include <array>
#include <cstring>
#include <string>

#include <boost/lexical_cast.hpp>

namespace norvane {
namespace {

// The table's texts as the strings that the host's service takes, built
// once on first use and kept: an evaluation builds no id, title or label.
struct AlarmTexts {
  std::string signal_id;
  std::string title;
  std::string detail;
};

const std::array<AlarmTexts, kAlarmCheckCount>& alarm_texts() {
  static const std::array<AlarmTexts, kAlarmCheckCount> texts = [] {
    std::array<AlarmTexts, kAlarmCheckCount> built;
    for (int i = 0; i < kAlarmCheckCount; ++i)
      built[i] = {kAlarmChecks[i].signal_id, kAlarmChecks[i].title, kAlarmChecks[i].detail};
    return built;
  }();
  return texts;
}

// Room for a float as lexical_cast writes it, and its terminating zero.
constexpr size_t kNumberTextSize = 32;

// T or H of a limit check and its detail text.
struct Measurement {
  int record_offset = -1;  // the word measured; -1 before the first
  float value = 0.0f;      // word / 10, 0 to 6553.5
  std::string detail;      // prefix + the value as lexical_cast writes it: 23.3999996
};

void measure(const Norvane_Data_t& record, int offset, const std::string& prefix, Measurement& m) {
  m.record_offset = offset;
  m.value = static_cast<float>(word_at_offset(record, offset)) / 10.0f;
  // One buffer serves both quantities: at most 9 significant digits, a
  // sign, a point and an exponent follow the prefix. The prefix's characters
  // are copied and the number is written into a local array, so that the
  // buffer is reused with either std::string (a copy-on-write one would
  // share the prefix, and return the number in a buffer of its own).
  m.detail.reserve(prefix.size() + kNumberTextSize);
  m.detail.assign(prefix.data(), prefix.size());
  m.detail += boost::lexical_cast<std::array<char, kNumberTextSize>>(m.value).data();
}

bool condition_holds(const AlarmCheck& check, const Measurement& m, float limit, uint16_t word) {
  switch (check.condition) {
    case AlarmCondition::kAboveLimit:
      return m.value > limit;
    case AlarmCondition::kBelowLimit:
      return m.value < limit;
    case AlarmCondition::kFlagSet:
      return word != 0;
  }
  return false;
}

}  // namespace

void evaluate_alarms(SMDVDevice& device, const Norvane_Data_t& record) {
  const auto& texts = alarm_texts();
  Measurement measured;
  for (int i = 0; i < kAlarmCheckCount; ++i) {
    const AlarmCheck& check = kAlarmChecks[i];
    const AlarmTexts& text = texts[i];
    const bool is_limit = check.condition != AlarmCondition::kFlagSet;
    // Built before the quantity's checks, whether or not they are supervised.
    if (is_limit && measured.record_offset != check.record_offset)
      measure(record, check.record_offset, text.detail, measured);

    if (device.alarm_levels[text.signal_id] == 0) continue;  // not supervised
    const int level = device.alarm_levels[text.signal_id];
    const float limit = is_limit ? device.alarm_thresholds[text.signal_id] : 0.0f;
    const bool active =
        condition_holds(check, measured, limit, word_at_offset(record, check.record_offset));
    device.CheckThresholdBool(level, text.signal_id, text.signal_id, text.title,
                              is_limit ? measured.detail : text.detail, active, 1);
  }
}

}  // namespace norvane
