// What the control socket asks of the running service.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gateway/base/command_ticket.h"
#include "gateway/state/event_stream.h"
#include "gateway/state/unit_table.h"

namespace gw::state {

struct ServiceInfo {
  std::string version;
  long pid = 0;
  std::string config_file;
};

// What a reload did, or why it did nothing.
struct ReloadReport {
  bool ok = false;
  std::string error;  // when not ok: the file, the field and what is wrong
  std::vector<std::string> added, removed, set_up_again, unchanged;
  std::vector<std::string> needs_restart;  // fields changed that only a restart applies
  std::vector<std::string> errors;         // units that could not be set up
};

class ServiceApi {
 public:
  virtual ~ServiceApi() = default;
  virtual ServiceInfo info() const = 0;
  virtual StateSnapshot status() const = 0;
  // Queues a command for the unit; nothing when no unit has the name.
  virtual std::shared_ptr<base::CommandTicket> command(const std::string& unit,
                                                       const base::Command& command) = 0;
  // How long a client waits for a command's outcome unless it says.
  virtual std::chrono::milliseconds command_wait() const = 0;
  virtual ReloadReport reload() = 0;
  virtual EventStream& events() = 0;
};

}  // namespace gw::state
