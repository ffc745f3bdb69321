// Norvane::DeviceIoControl: the status report (codes 801 and 803), the
// commands (310 and 320) and, for every other code, the result query.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "driver/commands.h"
#include "driver/norvane.h"
#include "driver/status_report.h"

namespace {

template <typename Command, size_t N>
const Command* command_for(const Command (&commands)[N], const std::string& signal_id) {
  for (const Command& command : commands)
    if (signal_id == command.signal_id) return &command;
  return nullptr;
}

}  // namespace

int Norvane::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                             int& out_size) {
  const ControlRequest request{code, in, in_len, out, out_len, out_size};
  switch (code) {
    case norvane::kCodeReportText:
      return report_as_text(out, out_len, out_size);
    case norvane::kCodeReportAddress:
      return report_address(out, out_len, out_size);
    case norvane::kCodeSetPoint:
      return set_point_command(request);
    case norvane::kCodeOnOff:
      return on_off_command(request);
    default:
      answer_result_query(out, out_len, out_size);
      return pass_on(request);
  }
}

// Status report ------------------------------------------------------------

// Rebuilds the report when a round has completed since the last rebuild,
// once per round however many requests arrive. A round has completed when
// the host's last_data_time differs from the one the report was built for
// (also when the host set it itself), or when more rounds have been counted:
// the count catches a round (or a reload) that ends in the same second as
// the one on show, since times have whole seconds.
//
// The report is always built from the copy of the last completed round, so
// it never mixes two rounds, even when the host moves last_data_time while
// the next round is arriving. The caller holds report_mutex.
void Norvane::bring_report_up_to_date() {
  const boost::posix_time::ptime round_time =
      round_end.read(data_state, last_data_time).last_data_time;
  if (round_time == report_time && round_count == report_round) return;
  report_time = round_time;
  report_round = round_count;
  const bool first = report.type() == Json::nullValue;
  norvane::build_report(round_record, first ? nullptr : &report_record, report);
  report_record = round_record;
  ++report_builds;
}

// The report as compact JSON text ending in a line feed, copied without a
// terminating zero. out_size gets the text's length whether or not it fits.
int Norvane::report_as_text(void* out, int out_len, int& out_size) {
  std::lock_guard<std::mutex> lock(report_mutex);
  bring_report_up_to_date();
  const std::string text = Json::FastWriter().write(report);
  out_size = static_cast<int>(text.size());
  if (out == nullptr || out_len < out_size) return -1;
  std::memcpy(out, text.data(), text.size());
  return 0;
}

// The address of the report itself, valid for the device's life; whoever
// reads through it does so without report_mutex.
int Norvane::report_address(void* out, int out_len, int& out_size) {
  std::lock_guard<std::mutex> lock(report_mutex);
  bring_report_up_to_date();
  Json::Value* const address = &report;
  out_size = static_cast<int>(sizeof address);
  if (out == nullptr || out_len < out_size) return -1;
  std::memcpy(out, &address, sizeof address);
  return 0;
}

// Commands -----------------------------------------------------------------

// Code 310. Nothing in the device changes until the command names a set
// point and carries a value of 0 to 3276 (set_point_word).
int Norvane::set_point_command(const ControlRequest& request) {
  const auto command = norvane::read_command(request.in, request.in_len, true);
  if (!command) return -1;
  const auto* target = command_for(norvane::kSetPointTargets, command->signal_id);
  if (target == nullptr || !command->set_value) return pass_on(request);
  const std::optional<int> word = norvane::set_point_word(*command->set_value);
  if (!word) return -1;  // not a set point that the unit would read as meant
  step = target->ack_step;
  command_result = norvane::kCommandPending;
  // The echo must carry the word written (0 to 32760).
  expected_value = *word;
  OpenPort();
  modbus_write_register(target->reg, *word);
  return 0;
}

// Code 320. The request takes over the line before its text is read: a
// round in progress is given up even when the text is then refused.
int Norvane::on_off_command(const ControlRequest& request) {
  step = norvane::kStepOnOffRequest;
  command_result = norvane::kCommandPending;
  OpenPort();
  const auto command = norvane::read_command(request.in, request.in_len, false);
  if (!command) return -1;
  const auto* target = command_for(norvane::kSwitchCommands, command->signal_id);
  if (target == nullptr) return pass_on(request);
  step = target->ack_step;
  command_result = norvane::kCommandPending;
  expected_value = target->expected_echo;
  modbus_write_register(target->reg, target->word);
  return 0;
}

// The last command's result as a 4-byte int at `out`, when there is room.
void Norvane::answer_result_query(void* out, int out_len, int& out_size) const {
  const int result = command_result.load();
  static_assert(sizeof result == 4);
  if (out == nullptr || out_len < static_cast<int>(sizeof result)) {
    out_size = 0;
    return;
  }
  std::memcpy(out, &result, sizeof result);
  out_size = sizeof result;
}

int Norvane::pass_on(const ControlRequest& request) {
  return SMDVDevice::DeviceIoControl(request.code, request.in, request.in_len, request.out,
                                     request.out_len, request.out_size);
}
