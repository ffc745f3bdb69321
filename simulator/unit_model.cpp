#include "simulator/unit_model.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kTwoPi = 6.283185307179586;

uint16_t to_word(double value) {
  return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, 65535L));
}

}  // namespace

UnitModel::UnitModel(OnOffEcho on_off_echo) : on_off_echo_(on_off_echo) {
  set(kSetTemperature, 240);  // 24.0 C
  set(kSetHumidity, 500);     // 50.0 %
  set(3, 10);                 // temperature precision 1.0 C
  set(4, 50);                 // humidity precision 5.0 %
  set(7, 30);                 // return-air limits: 30 C, 15 C, 70 %, 30 %
  set(8, 15);
  set(9, 70);
  set(10, 30);
  set(kUnitOnOff, kSwitchOn);
  set(14, 0);  // touch screen not locked
  set(15, 0);  // no fault clearing
  set(kRunState, 1);
  set(kIndoorFanOn, 1);
  set(kCompressorOn, 1);
  set(62, 8760);  // run times in hours: fan, compressor, humidifier, heater
  set(63, 6120);
  set(64, 430);
  set(65, 120);
  advance(0.0);
}

// Running: the return air swings +-1.5 C around the set point (period 90 s)
// and the humidity +-4 % (period 70 s); the supply air is 5.5 C cooler and
// 7 % more humid. Stopped: the room warms to 3 C above the set point.
void UnitModel::advance(double seconds) {
  const double set_temperature = static_cast<int16_t>(get(kSetTemperature));
  const double set_humidity = get(kSetHumidity);
  const double swing_t = std::sin(kTwoPi * seconds / 90.0);
  const double swing_h = std::sin(kTwoPi * seconds / 70.0);
  if (running()) {
    const double temperature = set_temperature - 5 + 15 * swing_t;
    const double humidity = set_humidity - 20 + 40 * swing_h;
    set(kReturnAirTemp, to_word(temperature));
    set(kReturnAirHumidity, to_word(humidity));
    set(kSupplyAirTemp, to_word(temperature - 55));
    set(kSupplyAirHumidity, to_word(humidity + 70));
  } else {
    const double temperature = set_temperature + 30 + 10 * swing_t;
    const double humidity = set_humidity + 40 + 20 * swing_h;
    set(kReturnAirTemp, to_word(temperature));
    set(kReturnAirHumidity, to_word(humidity));
    set(kSupplyAirTemp, to_word(temperature - 5));
    set(kSupplyAirHumidity, to_word(humidity));
  }
  set(kHeartbeat, static_cast<uint16_t>(static_cast<long>(seconds) & 0xffff));
}

bool UnitModel::read(int address, int count, uint16_t* words) const {
  if (address < kFirstRegister || count < 1 || address + count - 1 > kLastRegister) return false;
  std::copy_n(registers_.begin() + address, count, words);
  return true;
}

WriteResult UnitModel::write(int address, uint16_t value) {
  WriteResult result;
  switch (address) {
    case kSetTemperature:
    case kSetHumidity:
      set(address, value);
      result.echo = value;
      break;
    case kUnitOnOff:
      if (value != kSwitchOn && value != kSwitchOff) {
        result.refusal = Refusal::kIllegalValue;
        break;
      }
      switch_unit(value == kSwitchOn);
      result.echo = on_off_echo_ == OnOffEcho::kRunState ? get(kRunState) : value;
      break;
    default:
      result.refusal = Refusal::kIllegalAddress;
  }
  return result;
}

void UnitModel::switch_unit(bool on) {
  set(kUnitOnOff, on ? kSwitchOn : kSwitchOff);
  set(kRunState, on ? 1 : 0);
  set(kIndoorFanOn, on ? 1 : 0);
  set(kCompressorOn, on ? 1 : 0);
}

}  // namespace sim
