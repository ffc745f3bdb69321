// The gateway as a service: it locks its bus's port, sets the units up,
// polls them on the bus's thread, answers the control socket, reloads on
// SIGHUP, tells the service manager how it is doing, and stops cleanly on
// SIGTERM or SIGINT (or when its rounds are done).
//
// Start-up, in this order, so that a gateway that cannot run changes
// nothing: the configuration, the port's lock (a second gateway on the
// port stops here), the control socket, the plug-in, the history, the
// units (each reloading its newest record), then READY=1.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gateway/base/commands.h"
#include "gateway/config/config.h"

namespace gw::service {

struct RunOptions {
  std::string config_file;
  // Override the configuration file's values.
  std::optional<std::string> plugin, port, history, socket;
  std::optional<double> interval_s;
  std::optional<long> rounds;           // none: poll until stopped
  bool report = false;                  // a "report NAME TEXT" line after each completed round
  bool jsonl_stdout = false;            // --output jsonl: JSON Lines on standard output
  std::string unit;                     // the unit that the commands are for
  std::vector<base::Command> commands;  // in the order given, before the first round
};

// The configuration file's values with the command line's overrides.
// Throws ConfigError.
config::Config effective_config(const RunOptions& options);

// Runs the gateway; returns its exit status: 0 done; 1 an error (logged),
// or --rounds whose records or alarm events the history lost (logged);
// 3 a command given on the command line was not done; 4 --rounds with a
// unit that completed no round. Throws UsageError for commands that name
// no unit of the configuration.
int run_service(const RunOptions& options);

}  // namespace gw::service
