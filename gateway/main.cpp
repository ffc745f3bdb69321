// norvane-gateway: drives air-conditioning units over Modbus RTU through a
// device plug-in, as the monitoring host does. See usage_text().
//
// Exit status: 0 done; 1 an error (configuration, plug-in, serial port,
// history), with a message on standard error; 2 a usage error; 3 every
// step ran but a command was not done.
#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

#include "gateway/gateway.h"
#include "gateway/options.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int) { g_stop = 1; }

void install_stop_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The configuration file's values with the command line's overrides; every
// path must be given by one of them.
gw::Config effective_config(const gw::Options& options) {
  gw::Config config = gw::load_config(options.config_file);
  if (options.plugin) config.plugin = *options.plugin;
  if (options.port) config.bus.port = *options.port;
  if (options.history) config.history = *options.history;
  if (options.interval_s) config.interval_s = *options.interval_s;
  auto require = [&](const std::string& value, const char* field, const char* option) {
    if (value.empty())
      throw gw::ConfigError(options.config_file + ": " + field + ": is missing (or give " + option +
                            ")");
  };
  require(config.plugin, "plugin", "--plugin");
  require(config.history, "history", "--history");
  require(config.bus.port, "bus.port", "--port");
  return config;
}

std::string command_target(const gw::Options& options, const gw::Config& config) {
  if (options.commands.empty()) return {};
  if (!options.unit.empty()) {
    for (const gw::UnitConfig& unit : config.units)
      if (unit.name == options.unit) return unit.name;
    throw gw::UsageError("--unit " + options.unit + ": no such unit in " + options.config_file);
  }
  if (config.units.size() != 1) throw gw::UsageError("name the unit of the commands with --unit");
  return config.units.front().name;
}

// Sleeps until `deadline` or a stop signal, whichever comes first.
void wait_until(std::chrono::steady_clock::time_point deadline) {
  while (!g_stop && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(50), deadline - std::chrono::steady_clock::now()));
}

int run(const gw::Options& options) {
  const gw::Config config = effective_config(options);
  const std::string target = command_target(options, config);
  install_stop_handlers();
  gw::Gateway gateway(config, std::cout);

  bool all_done = true;
  for (const gw::Command& command : options.commands)
    all_done &= gateway.run_command(target, command) == gw::CommandOutcome::kDone;

  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(config.interval_s));
  for (long round = 0; !g_stop && (!options.rounds || round < *options.rounds); ++round) {
    if (round > 0) wait_until(std::chrono::steady_clock::now() + interval);
    if (!g_stop) gateway.poll_round(options.report);
  }
  gateway.print_summary();
  return all_done ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const gw::Options options = gw::parse_options(argc, argv);
    if (options.help) {
      std::cout << gw::usage_text();
      return 0;
    }
    return run(options);
  } catch (const gw::UsageError& error) {
    std::cerr << "norvane-gateway: " << error.what() << "\n" << gw::usage_text();
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "norvane-gateway: " << error.what() << std::endl;
    return 1;
  }
}
