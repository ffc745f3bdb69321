// What the benchmarks and bench/path_runs share: a unit that answers at
// once, and a record as a round of a running unit with some alarms leaves it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "driver/norvane.h"
#include "standin/serial_layer.h"

namespace bench {

// A unit that answers every read at once with fixed words.
class InstantUnit : public standin::ModbusLink {
 public:
  int transact(SPModbus&, const standin::ModbusRequest& request, uint16_t* words) override {
    std::memcpy(words, registers.data() + request.address, 2 * static_cast<size_t>(request.count));
    return request.count;
  }
  std::array<uint16_t, 200> registers{};
};

// A record of a running unit with some alarms, as a round leaves it.
inline void fill_record(Norvane_Data_t& record) {
  std::memset(&record, 0, sizeof record);
  record.set_temperature = 240;
  record.set_humidity = 50;
  record.unit_on_off = 170;
  record.return_air_temp = 262;
  record.return_air_humidity = 655;
  record.supply_air_temp = 180;
  record.run_state = 1;
  record.floor_water_alarm = 1;
  record.indoor_fan_fault = 1;
  record.update_time = TTime{2024, 12, 31, 23, 59, 5};
}

}  // namespace bench
