// The readings of one record: the 121 bytes that a round fills (and that
// the history keeps) decoded into values by the readings table. Pure
// conversion: no I/O, no state.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>

#include "gateway/readings/local_time.h"
#include "gateway/readings/reading_table.h"

namespace gw::readings {

// One value: a row of the table and the register word of the record.
struct Reading {
  const ReadingRow* row = nullptr;
  uint16_t word = 0;

  // The value as a number: a quantity in its unit (tenths divided by ten,
  // temperatures signed), a flag 0 or 1, an enumeration's code.
  double number() const;
  // A flag's word is not 0.
  bool is_alarm() const { return word != 0; }
  // A flag's "alarm" or "normal", an enumeration's name for its code;
  // nullptr for a number and for a code outside the enumeration's list.
  const char* value_name() const;
};

class Readings {
 public:
  // The readings of a record; nothing unless `record` is exactly the 121
  // bytes of one.
  static std::optional<Readings> decode(std::string_view record);

  int32_t data_id() const { return data_id_; }
  // The record's update time, as stored: local calendar time.
  const CalendarTime& update_time() const { return update_time_; }
  // Its instant; nothing for a zeroed (never stamped) or impossible stamp.
  std::optional<std::time_t> time() const { return instant_of_local(update_time_); }

  // The register words' values, in the table's order.
  const std::array<Reading, kWordReadingCount>& values() const { return values_; }
  // The value of that name; nullptr for a name the table does not have
  // (update_time included: see update_time()).
  const Reading* find(std::string_view name) const;

 private:
  Readings() = default;

  int32_t data_id_ = 0;
  CalendarTime update_time_;
  std::array<Reading, kWordReadingCount> values_;
};

}  // namespace gw::readings
