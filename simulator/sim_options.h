// norvane-sim's command line: what the options set, and the readers of the
// option values that have a syntax of their own.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "simulator/line.h"
#include "simulator/server.h"
#include "simulator/unit_model.h"

namespace sim {

struct SimOptions {
  LineSettings line;
  std::vector<int> slaves;  // 1 when none is given
  OnOffEcho on_off_echo = OnOffEcho::kWrittenWord;
  std::string scenario_file;
  Faults faults;
  Timing timing;
};

// Reads the command line; exits on --help, --version (0) and usage errors (2).
SimOptions parse_sim_options(int argc, char** argv);

// "1-32", "1,3,5" or "1-4,9": slave addresses from 1 to 247, in order,
// each once.
std::optional<std::vector<int>> read_slave_list(const std::string& text, std::string& error);

// "REG" or "REG:CODE": a register from 0 to 65535 and an exception code
// from 1 to 255 (default 2, illegal data address).
std::optional<std::pair<int, int>> read_exception_fault(const std::string& text,
                                                        std::string& error);

}  // namespace sim
