// Test doubles for the host's services, installed into the stand-in.
//
// One fake of each service with sensible defaults; a test switches on the one
// fault it needs. Every call lands in one shared CallLog so that tests can
// check the order in which a device calls the host.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standin/serial_layer.h"
#include "standin/services.h"

namespace fakes {

// Names of host calls in the order they happened, e.g. "SendSP", "Reset".
struct CallLog {
  std::vector<std::string> calls;
  void add(std::string call) { calls.push_back(std::move(call)); }
  int count(const std::string& call) const;
};

// An air-conditioning unit on the line, holding registers 0 to 65.
class FakeUnit : public standin::ModbusLink {
 public:
  explicit FakeUnit(CallLog& log);

  // Gives every register a distinct value (0x0100 * register + 7) so that a
  // test can see which word went where.
  void fill_pattern();

  int transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) override;
  int open_port(SMDSPDevice& device) override;
  void exchange_ended(SMDVDevice& device) override;

  std::array<uint16_t, 66> registers{};
  std::vector<standin::ModbusRequest> requests;  // every request that reached the line

  // Faults, off by default.
  bool silent = false;                    // no reply at all
  std::optional<uint16_t> echo_override;  // echo carries this word instead

 private:
  CallLog& log_;
};

// Record announcements and history, kept byte for byte.
class RecordingSink : public standin::RecordSink {
 public:
  struct Record {
    int type = 0;
    std::vector<unsigned char> bytes;
    bool delayed = false;
  };
  explicit RecordingSink(CallLog& log) : log_(log) {}
  bool announce(SMDVDevice& device, int type, const void* record, int length,
                bool delayed) override;
  bool save_history(SMDVDevice& device, const void* record, int length) override;

  std::vector<Record> announced;
  std::vector<Record> saved;

 private:
  CallLog& log_;
};

// The host's checks; each answers with a configurable result.
class RecordingChecks : public standin::CheckService {
 public:
  struct BoolCheck {
    int level;
    std::string signal_id, related_id, title, detail;
    bool active;
    unsigned short kind;
  };
  explicit RecordingChecks(CallLog& log) : log_(log) {}
  bool ao_report(SMDVDevice& device, const std::string& signal_id, float value) override;
  bool threshold(SMDVDevice& device, const std::string& signal_id, const std::string& name,
                 float value, int kind) override;
  bool threshold_bool(SMDVDevice& device, int level, const std::string& signal_id,
                      const std::string& related_id, const std::string& title,
                      const std::string& detail, bool active, unsigned short kind) override;
  bool batch_threshold(SMDVDevice& device, std::vector<rule_value>& rules) override;

  bool ao_report_raises = false;
  bool batch_raises = false;
  std::vector<std::pair<std::string, float>> ao_reports;
  std::vector<BoolCheck> bool_checks;
  std::vector<size_t> batch_sizes;

 private:
  CallLog& log_;
};

// The host's own DeviceIoControl; sees what the device passed on.
class RecordingControl : public standin::ControlService {
 public:
  struct Request {
    int code;
    std::string in;
    int out_len;
    int out_size_on_entry;
    std::optional<int> out_word_on_entry;  // first 4 bytes of out, if out_len >= 4
  };
  explicit RecordingControl(CallLog& log) : log_(log) {}
  int device_io_control(SMDVDevice& device, int code, const void* in, int in_len, void* out,
                        int out_len, int& out_size) override;

  int result = 7;  // what the host answers: a value no device path returns itself
  std::vector<Request> requests;

 private:
  CallLog& log_;
};

// Installs one fake of each service for the duration of a test.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { standin::install({&unit, &sink, &checks, &control}); }
  void TearDown() override { standin::install({}); }

  CallLog log;
  FakeUnit unit{log};
  RecordingSink sink{log};
  RecordingChecks checks{log};
  RecordingControl control{log};
};

// Runs `action` and returns what it wrote to standard output.
template <typename Action>
std::string captured_stdout(Action&& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

}  // namespace fakes
