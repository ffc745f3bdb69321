// norvane-sim: simulated air-conditioning units on a Modbus RTU line.
//
//   norvane-sim [--device PATH] [--baud N] [--parity none|even|odd]
//               [--data-bits N] [--stop-bits N] [--slave N]...
//               [--scenario FILE] [--silent] [--corrupt] [--echo WORD]
//
// Without --device it opens a pseudo-terminal and prints "pty PATH" as its
// first line. SIGUSR1 makes the units fall silent, SIGUSR2 makes them answer
// again; SIGINT and SIGTERM stop the simulator.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "simulator/server.h"

namespace {

sim::Requests g_requests;

extern "C" void on_signal(int number) {
  if (number == SIGUSR1) g_requests.fall_silent = 1;
  if (number == SIGUSR2) g_requests.answer_again = 1;
  if (number == SIGINT || number == SIGTERM) g_requests.stop = 1;
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) sigaction(number, &action, nullptr);
}

struct Options {
  sim::LineSettings line;
  std::vector<int> slaves;
  std::string scenario_file;
  sim::Faults faults;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::cerr << "norvane-sim: " << message << "\n"
            << "usage: norvane-sim [--device PATH] [--baud N] [--parity none|even|odd]\n"
            << "                   [--data-bits N] [--stop-bits N] [--slave N]...\n"
            << "                   [--scenario FILE] [--silent] [--corrupt] [--echo WORD]\n";
  std::exit(2);
}

int number_in(const std::string& option, const std::string& text, int low, int high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high)
    usage_error(option + " takes a whole number from " + std::to_string(low) + " to " +
                std::to_string(high) + ", not '" + text + "'");
  return static_cast<int>(value);
}

char parity_letter(const std::string& text) {
  if (text == "none") return 'N';
  if (text == "even") return 'E';
  if (text == "odd") return 'O';
  usage_error("--parity takes none, even or odd, not '" + text + "'");
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage_error(option + " needs a value");
      return argv[++i];
    };
    if (option == "--device")
      options.line.device = value();
    else if (option == "--baud")
      options.line.baud = number_in(option, value(), 50, 4000000);
    else if (option == "--parity")
      options.line.parity = parity_letter(value());
    else if (option == "--data-bits")
      options.line.data_bits = number_in(option, value(), 5, 8);
    else if (option == "--stop-bits")
      options.line.stop_bits = number_in(option, value(), 1, 2);
    else if (option == "--slave")
      options.slaves.push_back(number_in(option, value(), 1, 247));
    else if (option == "--scenario")
      options.scenario_file = value();
    else if (option == "--silent")
      options.faults.silent = true;
    else if (option == "--corrupt")
      options.faults.corrupt = true;
    else if (option == "--echo")
      options.faults.echo_override = number_in(option, value(), 0, 65535);
    else
      usage_error("unknown option " + option);
  }
  if (options.slaves.empty()) options.slaves.push_back(1);
  return options;
}

sim::ScenarioPlayer load_scenario(const std::string& file) {
  if (file.empty()) return sim::ScenarioPlayer({});
  std::ifstream in(file);
  if (!in) {
    std::cerr << "norvane-sim: cannot read scenario " << file << "\n";
    std::exit(1);
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string error;
  auto events = sim::parse_scenario(text.str(), error);
  if (!events) {
    std::cerr << "norvane-sim: " << file << ": " << error << "\n";
    std::exit(1);
  }
  return sim::ScenarioPlayer(std::move(*events));
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse_options(argc, argv);
  sim::ScenarioPlayer scenario = load_scenario(options.scenario_file);
  sim::Units units;
  for (int slave : options.slaves) units[slave] = sim::UnitModel();

  std::string error;
  std::unique_ptr<sim::Line> line = sim::Line::open(options.line, error);
  if (!line) {
    std::cerr << "norvane-sim: " << error << "\n";
    return 1;
  }
  install_signal_handlers();
  std::cout << (options.line.device.empty() ? "pty " : "device ") << line->path() << std::endl;
  sim::serve(*line, units, scenario, options.faults, g_requests);
  std::cout << "stopped" << std::endl;
  return 0;
}
