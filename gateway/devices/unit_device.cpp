#include "gateway/devices/unit_device.h"

#include <stdexcept>

#include "standin/serial_layer.h"

namespace gw::devices {

void UnitDevice::set_up() {
  SPModbus& device = *device_;
  device.data_id = config_.data_id;
  device.alarm_levels = config_.alarm_levels;
  device.alarm_thresholds = config_.alarm_thresholds;
  device.ao_signal_ids = config_.ao_signal_ids;
  device.Init({});
  device.InitSetting(config_.settings);
}

bool UnitDevice::load(const std::string& record) { return device_->LoadFromCache(record) == 1; }

bool UnitDevice::poll() {
  SPModbus& device = *device_;
  const int resets_before = standin::device_log(device).reset_calls;
  device.RefreshStatus();
  const standin::ExchangeOutcome outcome = standin::serve_exchange(device);
  return !outcome.failed && standin::device_log(device).reset_calls > resets_before;
}

base::CommandOutcome UnitDevice::run(const base::Command& command) {
  const base::ControlRequest request = base::encode_command(command);
  int out_size = 0;
  const int issued =
      device_->DeviceIoControl(request.code, request.text.data(),
                               static_cast<int>(request.text.size()), nullptr, 0, out_size);
  if (issued != 0 || !standin::outstanding_request(*device_)) return base::CommandOutcome::kRefused;
  standin::serve_exchange(*device_);
  return query_outcome();
}

base::CommandOutcome UnitDevice::query_outcome() {
  int result = 0;
  int out_size = 0;
  device_->DeviceIoControl(base::kResultQueryCode, nullptr, 0, &result, sizeof result, out_size);
  return base::outcome_of(out_size == static_cast<int>(sizeof result), result);
}

std::optional<std::string> UnitDevice::report_text() {
  if (report_buffer_.size() < 16384) report_buffer_.resize(16384);
  auto ask = [&](int& size) {
    return device_->DeviceIoControl(base::kReportTextCode, nullptr, 0, report_buffer_.data(),
                                    static_cast<int>(report_buffer_.size()), size);
  };
  int size = 0;
  int result = ask(size);
  if (result != 0 && size > static_cast<int>(report_buffer_.size())) {
    report_buffer_.resize(static_cast<size_t>(size));
    result = ask(size);
  }
  if (result != 0 || size <= 0 || size > static_cast<int>(report_buffer_.size()))
    return std::nullopt;
  std::string text(report_buffer_.data(), static_cast<size_t>(size));
  if (text.back() == '\n') text.pop_back();
  return text;
}

std::string UnitDevice::lookup_answer() const {
  try {
    return "value " + std::to_string(device_->Get_Value(0, ""));
  } catch (const std::exception& answer) {
    return answer.what();
  }
}

}  // namespace gw::devices
