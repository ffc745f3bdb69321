// Quiet services of the host for the fuzz targets: they keep what the
// properties need (requests on the line, records handed over) and nothing
// else, so that millions of executions stay fast.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "standin/serial_layer.h"
#include "standin/services.h"

namespace fuzzing {

struct QuietHost : standin::ModbusLink, standin::RecordSink, standin::CheckService,
                   standin::ControlService {
  QuietHost() { standin::install({this, this, this, this}); }
  ~QuietHost() override { standin::install({}); }
  QuietHost(const QuietHost&) = delete;
  QuietHost& operator=(const QuietHost&) = delete;

  int transact(SPModbus&, const standin::ModbusRequest& request, uint16_t* words) override {
    requests.push_back(request);
    std::memset(words, 0, sizeof(uint16_t) * static_cast<size_t>(request.count));
    return request.count;
  }
  bool announce(SMDVDevice&, int, const void* record, int length, bool) override {
    announced.assign(static_cast<const char*>(record), static_cast<size_t>(length));
    ++announcements;
    return true;
  }
  bool save_history(SMDVDevice&, const void*, int length) override {
    saved_lengths.push_back(length);
    return true;
  }
  bool ao_report(SMDVDevice&, const std::string&, float) override { return false; }
  bool threshold(SMDVDevice&, const std::string&, const std::string&, float, int) override {
    return false;
  }
  bool threshold_bool(SMDVDevice&, int, const std::string&, const std::string&,
                      const std::string&, const std::string&, bool, unsigned short) override {
    ++bool_checks;
    return false;
  }
  bool batch_threshold(SMDVDevice&, std::vector<rule_value>&) override { return false; }
  int device_io_control(SMDVDevice&, int, const void*, int, void*, int, int&) override {
    ++passed_on;
    return -1;
  }

  std::vector<standin::ModbusRequest> requests;
  std::string announced;
  int announcements = 0;
  std::vector<int> saved_lengths;
  int bool_checks = 0;
  int passed_on = 0;
};

// Reads the fuzzer's bytes front to back; past the end everything is 0.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
  std::string text(size_t length) {
    length = std::min(length, size_ - std::min(pos_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + pos_), length);
    pos_ += length;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Stops the run with a message that names the broken property.
[[noreturn]] void property_failed(const char* property);
#define FUZZ_REQUIRE(condition) \
  ((condition) ? (void)0 : ::fuzzing::property_failed(#condition " at " __FILE__))

}  // namespace fuzzing
