#include "simulator/sim_options.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "simulator/command_line.h"

namespace sim {
namespace {

constexpr int kFirstSlave = 1;
constexpr int kLastSlave = 247;
constexpr int kDefaultRefusal = kServerDeviceFailure;
constexpr double kMaxTurnaroundMs = 60000;

// A whole number from `low` to `high` that is all of `text`.
std::optional<int> whole_number(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int value = std::atoi(text.c_str());
  if (value < low || value > high) return std::nullopt;
  return value;
}

void add_unit_options(CLI::App& app, SimOptions& options) {
  app.add_option("--slave", options.slaves,
                 "A unit at this slave address, 1 to 247; repeatable (default: one unit at 1)")
      ->type_name("N")
      ->check(CLI::Range(kFirstSlave, kLastSlave).description(""))
      ->allow_extra_args(false);
  app.add_option_function<std::string>(
         "--slaves",
         [&options](const std::string& text) {
           std::string error;
           const auto slaves = read_slave_list(text, error);  // checked before
           options.slaves.insert(options.slaves.end(), slaves->begin(), slaves->end());
         },
         "Units at these slave addresses, each a unit of its own: 1-32, 1,3,5 or 1-4,9")
      ->type_name("LIST")
      ->check(read_by(&read_slave_list, "LIST"));
  const std::map<std::string, OnOffEcho> echo_modes{{"state", OnOffEcho::kRunState},
                                                    {"standard", OnOffEcho::kWrittenWord}};
  app.add_option("--echo-mode", options.on_off_echo,
                 "Acknowledge an on/off write (register 13) with the word written, 170 or 85, as "
                 "a standard Modbus unit (standard), or with the resulting run state, 1 or 0 "
                 "(state)")
      ->type_name("standard|state")
      ->transform(CLI::CheckedTransformer(echo_modes).description(""))
      ->default_str("standard");
  app.add_option("--scenario", options.scenario_file,
                 "Raise and clear alarm flags at given times (simulator/scenario.h)")
      ->type_name("FILE");
}

void add_fault_options(CLI::App& app, Faults& faults) {
  app.add_flag("--silent", faults.silent, "Answer nothing (SIGUSR1 and SIGUSR2 switch it)");
  app.add_flag("--corrupt", faults.corrupt, "Send every reply with a wrong CRC");
  app.add_option("--echo", faults.answers.echo_override,
                 "Acknowledge every write with this word, 0 to 65535, instead")
      ->type_name("WORD")
      ->check(CLI::Range(0, 65535).description(""));
  app.add_option_function<std::vector<std::string>>(
         "--exception",
         [&faults](const std::vector<std::string>& texts) {
           std::string error;
           for (const std::string& text : texts) {
             const auto [reg, code] = *read_exception_fault(text, error);
             faults.answers.exceptions.emplace(reg, static_cast<uint8_t>(code));
           }
         },
         "Answer every read or write that touches register REG with exception CODE (default 2, "
         "illegal data address); repeatable")
      ->type_name("REG[:CODE]")
      ->check(read_by(&read_exception_fault, "REG[:CODE]"))
      ->allow_extra_args(false);
  app.add_option_function<int>(
         "--refuse-writes",
         [&faults](int code) { faults.answers.refuse_writes = static_cast<uint8_t>(code); },
         "Refuse every write with exception CODE, 1 to 255 (4, server device failure, when "
         "none is given); nothing is written")
      ->type_name("[CODE]")
      ->expected(0, 1)
      ->default_str(std::to_string(kDefaultRefusal))
      ->check(CLI::Range(1, 255).description(""));
}

void add_timing_options(CLI::App& app, Timing& timing) {
  add_pace_option(app, timing.pace);
  app.add_option_function<double>(
         "--turnaround-ms",
         [&timing](double ms) { timing.turnaround = Nanoseconds(static_cast<long>(ms * 1e6)); },
         "Milliseconds from the end of a request to the start of the reply, 0 to 60000; "
         "paced, at least the silent interval")
      ->type_name("MS")
      ->check(CLI::Range(0.0, kMaxTurnaroundMs).description(""))
      ->check(CLI::Validator(
          [](std::string& text) {  // a NaN passes the range
            return std::isnan(std::strtod(text.c_str(), nullptr)) ? "not a number: " + text
                                                                  : std::string();
          },
          ""))
      ->default_str("0");
}

}  // namespace

SimOptions parse_sim_options(int argc, char** argv) {
  SimOptions options;
  CLI::App app(
      "Simulated air-conditioning units, a Modbus RTU slave on a pseudo-terminal or a serial "
      "device. Without --device it opens a pseudo-terminal and prints \"pty PATH\" first. "
      "SIGUSR1 makes the units fall silent, SIGUSR2 makes them answer again; SIGINT and "
      "SIGTERM stop it.");
  describe_program(app, "norvane-sim");
  app.add_option("--device", options.line.device,
                 "Serve this serial device instead of a new pseudo-terminal")
      ->type_name("PATH");
  add_framing_options(app, options.line.framing);
  add_unit_options(app, options);
  add_timing_options(app, options.timing);
  add_fault_options(app, options.faults);
  parse_or_exit(app, argc, argv);
  if (options.slaves.empty()) options.slaves.push_back(kFirstSlave);
  return options;
}

std::optional<std::vector<int>> read_slave_list(const std::string& text, std::string& error) {
  std::set<int> slaves;
  std::istringstream items(text);
  for (std::string item; std::getline(items, item, ',');) {
    const size_t dash = item.find('-');
    const auto first = whole_number(item.substr(0, dash), kFirstSlave, kLastSlave);
    const auto last = dash == std::string::npos
                          ? first
                          : whole_number(item.substr(dash + 1), kFirstSlave, kLastSlave);
    if (!first || !last || *last < *first) {
      error = "'" + item + "' is not a slave address or range from 1 to 247 (e.g. 1-32)";
      return std::nullopt;
    }
    for (int slave = *first; slave <= *last; ++slave) slaves.insert(slave);
  }
  if (slaves.empty() || text.back() == ',') {
    error = "'" + text + "' names no slave (e.g. 1-32 or 1,3,5)";
    return std::nullopt;
  }
  return std::vector<int>(slaves.begin(), slaves.end());
}

std::optional<std::pair<int, int>> read_exception_fault(const std::string& text,
                                                        std::string& error) {
  const size_t colon = text.find(':');
  const auto reg = whole_number(text.substr(0, colon), 0, 65535);
  const auto code = colon == std::string::npos ? std::optional<int>(kIllegalDataAddress)
                                               : whole_number(text.substr(colon + 1), 1, 255);
  if (!reg || !code) {
    error = "'" + text + "' is not REG[:CODE], a register from 0 to 65535 and a code from 1 to 255";
    return std::nullopt;
  }
  return std::make_pair(*reg, *code);
}

}  // namespace sim
