// What the service needs before it starts: the configuration with the
// command line's overrides, the unit that the command line's commands are
// for, and the buses' lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/line/rtu_link.h"
#include "gateway/service/service.h"

namespace gw::service {

// The unit of the command line's commands: --unit, or the only unit; empty
// without commands. Throws UsageError.
std::string command_target(const RunOptions& options, const config::Config& config);

// Every bus's line, in the configuration's order. With several buses, a
// port that cannot be opened (missing, say) is tried again with back-off
// while the others go on; with one, or when none opens, the start fails
// naming it. Throws PortBusy (another process holds a port) or LinkError.
std::vector<std::unique_ptr<line::RtuLink>> open_lines(const config::Config& config);

}  // namespace gw::service
