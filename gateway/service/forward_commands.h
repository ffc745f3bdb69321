// The command-line commands of a gateway whose port a running service
// holds: sent through the service's control socket and printed as the
// gateway itself prints them ("command NAME WHAT: OUTCOME").
#pragma once

#include <string>

#include "gateway/config/config.h"
#include "gateway/line/port_lock.h"
#include "gateway/service/service.h"

namespace gw::service {

// How long the service may wait for a command's outcome, at the most.
inline constexpr long kLongestCommandWaitMs = 120000;

// The commands of `options` for the unit `target`; `busy` names the port's
// holder. Returns the exit status: 0 every command done, 3 one not done,
// 1 no service answers or it refused a command.
int forward_commands(const RunOptions& options, const config::Config& config,
                     const std::string& target, const line::PortBusy& busy);

}  // namespace gw::service
