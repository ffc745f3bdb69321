// The register bank of one simulated air-conditioning unit.
//
// Holding registers 1 to 65 with the values a running unit shows: set
// points, limits, switches, air temperatures and humidities, component
// states, fault flags and run times. Temperatures and humidities are tenths
// (240 = 24.0 C, 480 = 48.0 %). The return and supply air drift slowly
// around the set points while the unit runs and warm up while it is off.
//
// Only registers 1 (temperature set point), 2 (humidity set point) and 13
// (on/off: 170 on, 85 off) take writes. A write is acknowledged with the
// value written, as a standard Modbus unit does; a write of 13 may be
// acknowledged with the unit's resulting run state instead (1 running, 0
// stopped: OnOffEcho).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

inline constexpr int kFirstRegister = 1;
inline constexpr int kLastRegister = 65;

// Registers the simulator gives meaning to.
enum Register : int {
  kSetTemperature = 1,
  kSetHumidity = 2,
  kUnitOnOff = 13,
  kReturnAirTemp = 22,
  kReturnAirHumidity = 23,
  kSupplyAirTemp = 24,
  kSupplyAirHumidity = 25,
  kRunState = 27,
  kFilterClogged = 30,
  kFloorWater = 31,
  kIndoorFanOn = 33,
  kCompressorOn = 34,
  kHeartbeat = 45,
  kIndoorFanFault = 39,
  kHumidifierFault = 42,
};

inline constexpr uint16_t kSwitchOn = 170;
inline constexpr uint16_t kSwitchOff = 85;

// What the acknowledgement of an on/off write carries.
enum class OnOffEcho {
  kRunState,     // 1 running, 0 stopped: what the unit did ("state")
  kWrittenWord,  // 170 or 85, like any single-register write ("standard")
};

// Modbus exception codes the unit answers with.
enum class Refusal : uint8_t { kIllegalAddress = 2, kIllegalValue = 3 };

// What a write led to: the word of the acknowledgement, or a refusal.
struct WriteResult {
  std::optional<Refusal> refusal;
  uint16_t echo = 0;
};

class UnitModel {
 public:
  explicit UnitModel(OnOffEcho on_off_echo = OnOffEcho::kWrittenWord);

  // Brings the drifting registers to `seconds` since the unit started.
  void advance(double seconds);

  // Copies registers [address, address + count) into `words`; false when
  // any of them lies outside 1..65.
  bool read(int address, int count, uint16_t* words) const;

  WriteResult write(int address, uint16_t value);

  // Any register, for scenarios and tests; `address` must be in 1..65.
  uint16_t get(int address) const { return registers_.at(static_cast<size_t>(address)); }
  void set(int address, uint16_t value) { registers_.at(static_cast<size_t>(address)) = value; }

  bool running() const { return get(kRunState) == 1; }

 private:
  void switch_unit(bool on);

  OnOffEcho on_off_echo_;
  std::array<uint16_t, kLastRegister + 1> registers_{};  // index = register; 0 unused
};

}  // namespace sim
