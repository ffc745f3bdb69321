// The command lines of the line programs (norvane-sim, norvane-fault-line),
// read with CLI11: the options that both take, and how a usage error ends.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "simulator/wire_time.h"

namespace sim {

// A CLI11 app with --help and --version ("PROGRAM VERSION", the project's
// version).
void describe_program(CLI::App& app, const std::string& program);

// --baud N, --parity none|even|odd, --data-bits N, --stop-bits N.
void add_framing_options(CLI::App& app, Framing& framing);

// --pace: keep the line's time at its baud rate and framing.
void add_pace_option(CLI::App& app, bool& pace);

// Parses the command line. --help and --version print and exit 0; a
// usage error prints "PROGRAM: reason" and a hint to standard error and
// exits 2.
void parse_or_exit(CLI::App& app, int argc, char** argv);

// A validator from a function that reads a value and says what is wrong
// with it: it returns nothing and sets `error` when the text is bad.
template <typename Value>
CLI::Validator read_by(std::optional<Value> (*read)(const std::string& text, std::string& error),
                       const std::string& name) {
  return CLI::Validator(
             [read](std::string& text) {
               std::string error;
               return read(text, error) ? std::string() : error;
             },
             name)
      .description("");
}

}  // namespace sim
