// The data record of the air-conditioning unit and the register map behind it.
//
// The record is a persisted format: the host stores these 121 bytes after
// every completed round and may hand them back through LoadFromCache. It is
// the in-memory image on a little-endian controller, packed, with no gap.
//
// Never take a pointer or a reference to a field of the record: its 16-bit
// fields sit at odd offsets, and an unaligned access traps on the target.
// Read and write fields through the struct, or copy bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/framework.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is the little-endian image that the controller stores");

// Temperatures (registers 1, 3, 22, 24) count tenths of a degree Celsius.
// Humidity words (2, 4, 23, 25) are kept exactly as the unit sends them.
struct __attribute__((packed)) Norvane_Data_t {
  int32_t data_id;                       // bytes 0-3: the device's data id
  uint16_t set_temperature;              // reg 1, tenths
  uint16_t set_humidity;                 // reg 2
  uint16_t temperature_precision;        // reg 3, tenths
  uint16_t humidity_precision;           // reg 4
  uint16_t return_temp_upper_limit;      // reg 7
  uint16_t return_temp_lower_limit;      // reg 8
  uint16_t return_humidity_upper_limit;  // reg 9
  uint16_t return_humidity_lower_limit;  // reg 10
  uint16_t unit_on_off;                  // reg 13: 85 off, 170 on
  uint16_t touch_screen_lock;            // reg 14: 0 not locked, 1 locked
  uint16_t clear_fault;                  // reg 15: 0 keep, 1 clear faults
  uint16_t return_air_temp;              // reg 22, tenths
  uint16_t return_air_humidity;          // reg 23
  uint16_t supply_air_temp;              // reg 24, tenths
  uint16_t supply_air_humidity;          // reg 25
  uint16_t unit_fault;                   // reg 26: 0 none, 1 present
  uint16_t run_state;                    // reg 27: 0 stopped, 1 running
  uint16_t reg_28;                       // not interpreted
  uint16_t run_mode;                     // reg 29: 0 automatic, 1 manual
  uint16_t filter_clogged;               // reg 30, flag
  uint16_t floor_water_alarm;            // reg 31, flag
  uint16_t reg_32;                       // not interpreted
  uint16_t indoor_fan_on;                // reg 33: 0 off, 1 on
  uint16_t compressor_on;                // reg 34
  uint16_t heater_on;                    // reg 35
  uint16_t humidifier_on;                // reg 36
  uint16_t reg_37;                       // not interpreted
  uint16_t drain_alarm;                  // reg 38, flag
  uint16_t indoor_fan_fault;             // reg 39: non-zero = fan overload
  uint16_t compressor_fault;             // reg 40
  uint16_t heater_fault;                 // reg 41
  uint16_t humidifier_fault;             // reg 42: non-zero = fault
  uint16_t outdoor_unit_fault;           // reg 43, flag
  uint16_t reg_44;                       // not interpreted
  uint16_t heartbeat;                    // reg 45, a count
  uint16_t reg_46;                       // not interpreted
  uint16_t reg_47;                       // not interpreted
  uint16_t return_temp_high_swing;       // reg 48, flag
  uint16_t return_temp_low_swing;        // reg 49, flag
  uint16_t return_humidity_high_swing;   // reg 50, flag
  uint16_t return_humidity_low_swing;    // reg 51, flag
  uint16_t reg_52;                       // not interpreted
  uint16_t reg_53;                       // not interpreted
  uint16_t reg_54;                       // not interpreted
  uint16_t power_fault;                  // reg 55, flag
  uint16_t touch_screen_comm_fault;      // reg 56, flag
  uint16_t reg_57;                       // not interpreted
  uint16_t reg_58;                       // not interpreted
  uint16_t low_air_pressure_alarm;       // reg 59, flag
  uint16_t compressor_high_pressure;     // reg 60, flag
  uint16_t compressor_low_pressure;      // reg 61, flag
  uint16_t indoor_fan_run_time;          // reg 62, a count
  uint16_t compressor_run_time;          // reg 63
  uint16_t humidifier_run_time;          // reg 64
  uint16_t heater_run_time;              // reg 65
  TTime update_time;                     // bytes 114-120: local time of the last round
};

namespace norvane {

inline constexpr int kRecordSize = 121;
inline constexpr int kRecordType = 5156;  // record type the host files the record under

// One read of the poll round: registers [first_register, first_register +
// count) land, word for word, at record bytes [record_offset, + 2 * count).
struct RegisterBlock {
  int step;  // the `step` whose reply carries this block
  int first_register;
  int count;
  int record_offset;
};

// The poll round, in order. Registers 5-6, 11-12 and 16-21 are never read.
inline constexpr RegisterBlock kPollBlocks[] = {
    {11, 1, 4, offsetof(Norvane_Data_t, set_temperature)},
    {12, 7, 4, offsetof(Norvane_Data_t, return_temp_upper_limit)},
    {13, 13, 3, offsetof(Norvane_Data_t, unit_on_off)},
    {14, 22, 44, offsetof(Norvane_Data_t, return_air_temp)},
};
inline constexpr int kPollBlockCount = sizeof(kPollBlocks) / sizeof(kPollBlocks[0]);

constexpr bool poll_blocks_fill_the_record() {
  int offset = offsetof(Norvane_Data_t, set_temperature);
  for (int i = 0; i < kPollBlockCount; ++i) {
    const RegisterBlock& b = kPollBlocks[i];
    if (b.record_offset != offset || b.step != kPollBlocks[0].step + i) return false;
    if (b.count < 1 || b.count > SPModbus::kMaxRegisters) return false;
    if (i > 0 && b.first_register < kPollBlocks[i - 1].first_register + kPollBlocks[i - 1].count)
      return false;
    offset += 2 * b.count;
  }
  return offset == offsetof(Norvane_Data_t, update_time);
}

static_assert(sizeof(Norvane_Data_t) == kRecordSize, "121 bytes, packed, no tail padding");
static_assert(alignof(Norvane_Data_t) == 1, "packed");
static_assert(offsetof(Norvane_Data_t, data_id) == 0);
static_assert(offsetof(Norvane_Data_t, set_temperature) == 4);
static_assert(offsetof(Norvane_Data_t, return_temp_upper_limit) == 12);
static_assert(offsetof(Norvane_Data_t, unit_on_off) == 20);
static_assert(offsetof(Norvane_Data_t, return_air_temp) == 26);
static_assert(offsetof(Norvane_Data_t, run_state) == 36);
static_assert(offsetof(Norvane_Data_t, filter_clogged) == 42);
static_assert(offsetof(Norvane_Data_t, floor_water_alarm) == 44);
static_assert(offsetof(Norvane_Data_t, indoor_fan_fault) == 60);
static_assert(offsetof(Norvane_Data_t, humidifier_fault) == 66);
static_assert(offsetof(Norvane_Data_t, heartbeat) == 72);
static_assert(offsetof(Norvane_Data_t, power_fault) == 92);
static_assert(offsetof(Norvane_Data_t, heater_run_time) == 112);
static_assert(offsetof(Norvane_Data_t, update_time) == 114);
static_assert(poll_blocks_fill_the_record(),
              "the poll blocks fill bytes 4-113 in order, one step after another");

// Record offset of a register's word, or -1 for a register the round never reads.
constexpr int record_offset_of_register(int reg) {
  for (const RegisterBlock& b : kPollBlocks) {
    if (reg >= b.first_register && reg < b.first_register + b.count)
      return b.record_offset + 2 * (reg - b.first_register);
  }
  return -1;
}

static_assert(record_offset_of_register(1) == offsetof(Norvane_Data_t, set_temperature));
static_assert(record_offset_of_register(23) == offsetof(Norvane_Data_t, return_air_humidity));
static_assert(record_offset_of_register(65) == offsetof(Norvane_Data_t, heater_run_time));
static_assert(record_offset_of_register(5) == -1 && record_offset_of_register(21) == -1);

// The word at byte `offset` (4 to 112) of `record`, copied byte by byte so
// that no unaligned 16-bit access is made.
inline uint16_t word_at_offset(const Norvane_Data_t& record, int offset) {
  uint16_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&record) + offset, sizeof word);
  return word;
}

// The word of register `reg` in `record`; 0 for a register that the round
// never reads.
inline uint16_t register_word(const Norvane_Data_t& record, int reg) {
  const int offset = record_offset_of_register(reg);
  return offset >= 0 ? word_at_offset(record, offset) : 0;
}

}  // namespace norvane
