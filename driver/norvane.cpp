#include "driver/norvane.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "device/local_clock.h"
#include "driver/alarm_checks.h"
#include "driver/texts_zh.h"

using norvane::kPollBlockCount;
using norvane::kPollBlocks;
using norvane::RegisterBlock;

namespace {

// A round that ended longer ago than this (in seconds) leaves the data stale.
constexpr int64_t kFreshForSeconds = 60;

// The register block whose reply `step` waits for, or null for a step that
// is not a poll step. Constant time: the poll steps are consecutive.
const RegisterBlock* poll_block_for(int step) {
  const int index = step - kPollBlocks[0].step;
  if (index < 0 || index >= kPollBlockCount) return nullptr;
  return &kPollBlocks[index];
}

}  // namespace

Norvane::Norvane() {
  device_type = "norvane";
  baud_rate = 9600;
  init_flag = 1;
}

Norvane::~Norvane() = default;

int Norvane::InitSetting(const Json::Value& settings) {
  data.data_id = data_id;
  return UniDataDevice::InitSetting(settings);
}

int Norvane::RefreshStatus() {
  SMDSPDevice::RefreshStatus();
  step = kPollBlocks[0].step;
  modbus_read_registers(kPollBlocks[0].first_register, kPollBlocks[0].count);
  return 1;
}

// Dispatches on `step` alone: the host delivers a reply only for the request
// it last issued for this device. Neither argument is needed.
int Norvane::process_payload(tab_type, unsigned int) {
  const int current = step;
  if (const RegisterBlock* block = poll_block_for(current)) return take_poll_reply(*block);
  const uint16_t echo = rx_registers[0];
  switch (current) {
    case norvane::kStepAckOn:
      return judge_echo(echo == 1);
    case norvane::kStepAckOff:
      return judge_echo(echo == 0);
    case norvane::kStepAckTemperature:
    case norvane::kStepAckHumidity:
      // The word without sign extension: 65535 never matches -1.
      return judge_echo(static_cast<int>(echo) == expected_value.load());
    default:
      return 1;  // no exchange of ours is waiting for this reply
  }
}

// Copies the block's words into the record, then asks for the next block,
// or completes the round after the last one.
int Norvane::take_poll_reply(const RegisterBlock& block) {
  std::memcpy(reinterpret_cast<unsigned char*>(&data) + block.record_offset, rx_registers,
              2 * static_cast<size_t>(block.count));
  const RegisterBlock* next = &block + 1;
  if (next == std::end(kPollBlocks)) {
    RoundDone();
    return 0;
  }
  step = next->step;
  modbus_read_registers(next->first_register, next->count);
  return 1;
}

int Norvane::judge_echo(bool accepted) {
  command_result = accepted ? norvane::kCommandDone : norvane::kCommandFailed;
  Reset();
  return 0;
}

// Answers from data_state and last_data_time as the host has them, read
// through the device's sequence count: the end of a round may be writing
// them on another thread, and the host may have set them itself. Messages
// go in as std::string, as in host/device_defaults.h.
double Norvane::Get_Value(unsigned int, const std::string&) const {
  const device_state::RoundEnd seen = round_end.read(data_state, last_data_time);
  if (!seen.data_state) throw std::out_of_range(std::string(norvane::zh::kDataNotReady));
  const boost::posix_time::time_duration age = device_clock::local_time() - seen.last_data_time;
  // Exactly 60 s is still fresh; a negative age (the clock was set back) too.
  // A last_data_time that is not a date leaves the data stale.
  if (age.is_not_a_date_time() || age.total_seconds() > kFreshForSeconds)
    throw std::out_of_range(std::string(norvane::zh::kDataTimedOut));
  throw std::out_of_range(std::string(norvane::zh::kVariableNotSupported));
}

void Norvane::RunCheckThreshold() {
  if (b_mode != 2) return;  // alarms are evaluated in mode 2 only
  norvane::evaluate_alarms(*this, data);
}
