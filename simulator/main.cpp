// norvane-sim: simulated air-conditioning units on a Modbus RTU line.
// `norvane-sim --help` lists the options (simulator/sim_options.cpp).
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

#include "simulator/paced_io.h"
#include "simulator/server.h"
#include "simulator/sim_options.h"

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
  sim::SimOptions options = sim::parse_sim_options(argc, argv);
  sim::ScenarioPlayer scenario = load_scenario(options.scenario_file);
  sim::Units units;
  for (int slave : options.slaves) units.emplace(slave, sim::UnitModel(options.on_off_echo));

  std::string error;
  std::unique_ptr<sim::Line> line = sim::Line::open(options.line, error);
  if (!line) {
    std::cerr << "norvane-sim: " << error << "\n";
    return 1;
  }
  install_signal_handlers();
  if (options.timing.pace) sim::use_fine_timer_slack();
  std::cout << (options.line.device.empty() ? "pty " : "device ") << line->path() << std::endl;
  sim::serve(*line, units, scenario, options.faults, options.timing, g_requests);
  std::cout << "stopped" << std::endl;
  return 0;
}
