#include "gateway/readings/readings.h"

#include "gateway/readings/table_checks.h"

namespace gw::readings {
namespace {

// The record is the controller's little-endian image: assemble words from
// their bytes, whatever the byte order of the machine that decodes it.
uint16_t word_at(std::string_view record, int offset) {
  const auto low = static_cast<unsigned char>(record[offset]);
  const auto high = static_cast<unsigned char>(record[offset + 1]);
  return static_cast<uint16_t>(low | high << 8);
}

uint8_t byte_at(std::string_view record, int offset) {
  return static_cast<uint8_t>(record[offset]);
}

// The 7-byte stamp: year (16-bit), month, day, hour, minute, second.
CalendarTime stamp_at(std::string_view record, int offset) {
  CalendarTime t;
  t.year = word_at(record, offset);
  t.month = byte_at(record, offset + 2);
  t.day = byte_at(record, offset + 3);
  t.hour = byte_at(record, offset + 4);
  t.minute = byte_at(record, offset + 5);
  t.second = byte_at(record, offset + 6);
  return t;
}

}  // namespace

double Reading::number() const {
  if (row->kind == ReadingKind::kFlag) return is_alarm() ? 1.0 : 0.0;
  const double value = is_signed(*row) ? static_cast<int16_t>(word) : word;
  switch (row->scale) {
    case Scale::kTenths:
      return value / 10.0;
    case Scale::kHours:
      return value * 3600.0;
    case Scale::kWhole:
      break;
  }
  return value;
}

const char* Reading::value_name() const {
  if (row->kind == ReadingKind::kFlag) return is_alarm() ? kFlagAlarm : kFlagNormal;
  if (row->kind != ReadingKind::kEnumeration) return nullptr;
  if (word == row->values.first.code) return row->values.first.name;
  if (word == row->values.second.code) return row->values.second.name;
  return nullptr;
}

std::optional<Readings> Readings::decode(std::string_view record) {
  if (record.size() != static_cast<size_t>(norvane::kRecordSize)) return std::nullopt;
  Readings readings;
  const auto data_id_bits =
      static_cast<uint32_t>(word_at(record, 0)) | static_cast<uint32_t>(word_at(record, 2)) << 16;
  readings.data_id_ = static_cast<int32_t>(data_id_bits);
  for (int i = 0; i < kWordReadingCount; ++i) {
    const ReadingRow& row = kReadingRows[i];
    readings.values_[i] = Reading{&row, word_at(record, row.record_offset)};
  }
  readings.update_time_ = stamp_at(record, kReadingRows[kWordReadingCount].record_offset);
  return readings;
}

const Reading* Readings::find(std::string_view name) const {
  for (const Reading& reading : values_)
    if (name == reading.row->name) return &reading;
  return nullptr;
}

}  // namespace gw::readings
