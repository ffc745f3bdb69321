// The gateway's command line.
//
//   norvane-gateway --config FILE [--plugin PATH] [--port PATH]
//                   [--history DB] [--interval SECONDS] [--rounds N]
//                   [--report] [--unit NAME] [--set-temperature C]
//                   [--set-humidity PERCENT] [--unit-on] [--unit-off]
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gateway/commands.h"

namespace gw {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string config_file;
  // Override the configuration file's values.
  std::optional<std::string> plugin, port, history;
  std::optional<double> interval_s;
  std::optional<long> rounds;     // none: poll until stopped
  bool report = false;            // print each unit's status report after its round
  std::string unit;               // the unit that the commands are for
  std::vector<Command> commands;  // in the order given
  bool help = false;
};

// Throws UsageError.
Options parse_options(int argc, const char* const* argv);

const char* usage_text();

}  // namespace gw
