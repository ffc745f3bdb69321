#include "tests/support/fake_host.h"

#include <algorithm>
#include <cstring>

namespace fakes {

int CallLog::count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

FakeUnit::FakeUnit(CallLog& log) : log_(log) {
  // A unit that is running and comfortable: 24.0 C set, 50 % set, return air
  // 23.5 C and 48 %, supply air 18.0 C and 55 %, no alarm.
  registers[1] = 240;
  registers[2] = 50;
  registers[3] = 10;
  registers[4] = 5;
  registers[7] = 30;
  registers[8] = 15;
  registers[9] = 70;
  registers[10] = 30;
  registers[13] = 170;
  registers[22] = 235;
  registers[23] = 48;
  registers[24] = 180;
  registers[25] = 55;
  registers[27] = 1;
  registers[33] = 1;
  registers[34] = 1;
}

void FakeUnit::fill_pattern() {
  for (size_t reg = 0; reg < registers.size(); ++reg)
    registers[reg] = static_cast<uint16_t>(0x0100 * reg + 7);
}

int FakeUnit::transact(SPModbus&, const standin::ModbusRequest& request, uint16_t* words) {
  requests.push_back(request);
  const bool read = request.function == standin::ModbusRequest::kReadHoldingRegisters;
  log_.add(read ? "read " + std::to_string(request.address) + "+" + std::to_string(request.count)
                : "write " + std::to_string(request.address) + "=" + std::to_string(request.value));
  if (silent) return -1;
  const int size = static_cast<int>(registers.size());
  if (read) {
    if (request.address + request.count > size) return -1;
    std::copy_n(registers.begin() + request.address, request.count, words);
    return request.count;
  }
  if (request.address >= size) return -1;
  uint16_t echo = static_cast<uint16_t>(request.value);
  registers[request.address] = echo;
  if (request.address == 13) {  // the on/off register answers with the run state
    registers[27] = echo == 170 ? 1 : echo == 85 ? 0 : registers[27];
    echo = registers[27];
  }
  words[0] = echo_override.value_or(echo);
  return 1;
}

int FakeUnit::open_port(SMDSPDevice&) {
  log_.add("OpenPort");
  return 1;
}

void FakeUnit::exchange_ended(SMDVDevice&) { log_.add("Reset"); }

namespace {
RecordingSink::Record make_record(int type, const void* record, int length, bool delayed) {
  RecordingSink::Record r;
  r.type = type;
  const auto* bytes = static_cast<const unsigned char*>(record);
  r.bytes.assign(bytes, bytes + std::max(length, 0));
  r.delayed = delayed;
  return r;
}
}  // namespace

bool RecordingSink::announce(SMDVDevice&, int type, const void* record, int length, bool delayed) {
  log_.add("SendSP");
  announced.push_back(make_record(type, record, length, delayed));
  return true;
}

bool RecordingSink::save_history(SMDVDevice&, const void* record, int length) {
  log_.add("SaveDeviceHistory");
  saved.push_back(make_record(0, record, length, false));
  return true;
}

bool RecordingChecks::ao_report(SMDVDevice&, const std::string& signal_id, float value) {
  log_.add("CheckAOReport " + signal_id);
  ao_reports.emplace_back(signal_id, value);
  return ao_report_raises;
}

bool RecordingChecks::threshold(SMDVDevice&, const std::string& signal_id, const std::string& name,
                                float, int kind) {
  log_.add("CheckThreshold " + signal_id + " '" + name + "' " + std::to_string(kind));
  return false;
}

bool RecordingChecks::threshold_bool(SMDVDevice&, int level, const std::string& signal_id,
                                     const std::string& related_id, const std::string& title,
                                     const std::string& detail, bool active, unsigned short kind) {
  log_.add("CheckThresholdBool " + signal_id);
  bool_checks.push_back({level, signal_id, related_id, title, detail, active, kind});
  return active;
}

bool RecordingChecks::batch_threshold(SMDVDevice&, std::vector<rule_value>& rules) {
  log_.add("DoBatchCheckThreshold");
  batch_sizes.push_back(rules.size());
  return batch_raises;
}

int RecordingControl::device_io_control(SMDVDevice&, int code, const void* in, int in_len,
                                        void* out, int out_len, int& out_size) {
  log_.add("DeviceIoControl " + std::to_string(code));
  Request r{code, {}, out_len, out_size, std::nullopt};
  if (in != nullptr && in_len > 0) r.in.assign(static_cast<const char*>(in), in_len);
  if (out != nullptr && out_len >= 4) {
    int word;
    std::memcpy(&word, out, sizeof word);
    r.out_word_on_entry = word;
  }
  requests.push_back(r);
  return result;
}

}  // namespace fakes
