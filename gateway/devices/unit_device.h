// One configured unit's device, as its bus's thread drives it: set-up,
// poll rounds, commands and the status report.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "gateway/base/commands.h"
#include "gateway/config/config.h"
#include "host/framework.h"

namespace gw::devices {

class UnitDevice {
 public:
  UnitDevice(config::UnitConfig config, std::unique_ptr<SPModbus> device)
      : config_(std::move(config)), device_(std::move(device)) {}

  const config::UnitConfig& config() const { return config_; }
  const std::string& name() const { return config_.name; }
  SPModbus& device() { return *device_; }
  const SPModbus& device() const { return *device_; }

  // As the host sets a device up: data id and alarm tables, Init, then
  // InitSetting with the unit's settings.
  void set_up();
  // Reloads a kept record (LoadFromCache); true when the device took it.
  bool load(const std::string& record);

  // One poll round. It completed when the device ended the exchange itself
  // (Reset) without a request going unanswered.
  bool poll();
  // Sends the command, serves its write and acknowledgement, and returns
  // the outcome that the device reports.
  base::CommandOutcome run(const base::Command& command);

  // The status report (code 801) without its line feed; nothing when the
  // device gives none.
  std::optional<std::string> report_text();
  // What the value lookup answers, e.g. that its data is not ready.
  std::string lookup_answer() const;

 private:
  base::CommandOutcome query_outcome();

  config::UnitConfig config_;
  std::unique_ptr<SPModbus> device_;
  std::string report_buffer_;  // kept between rounds
};

}  // namespace gw::devices
