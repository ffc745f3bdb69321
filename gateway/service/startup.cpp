#include "gateway/service/startup.h"

#include <algorithm>

#include "gateway/base/log.h"
#include "gateway/base/usage_error.h"

namespace gw::service {

std::string command_target(const RunOptions& options, const config::Config& config) {
  if (options.commands.empty()) return {};
  if (!options.unit.empty()) {
    if (config::bus_of(config, options.unit) != nullptr) return options.unit;
    throw base::UsageError("--unit " + options.unit + ": no such unit in " + options.config_file);
  }
  const std::vector<config::UnitConfig> units = config::all_units(config);
  if (units.size() != 1) throw base::UsageError("name the unit of the commands with --unit");
  return units.front().name;
}

config::Config effective_config(const RunOptions& options) {
  config::Config config = config::load_config(options.config_file);
  if (options.plugin) config.plugin = config::command_line_path(*options.plugin);
  if (options.port) {
    if (config.buses.size() != 1)
      throw config::ConfigError(
          options.config_file + ": buses: --port gives the port of a single bus; " +
          std::to_string(config.buses.size()) + " buses have theirs in the file");
    config.buses.front().settings.port = *options.port;
  }
  if (options.history) config.history = *options.history;
  if (options.socket) config.control_socket = *options.socket;
  if (options.interval_s) config.interval_s = *options.interval_s;
  auto require = [&](const std::string& value, const char* field, const char* option) {
    if (value.empty())
      throw config::ConfigError(options.config_file + ": " + field + ": is missing (or give " +
                                option + ")");
  };
  require(config.plugin, "plugin", "--plugin");
  require(config.history, "history", "--history");
  require(config.buses.front().settings.port, "bus.port", "--port");
  return config;
}

std::vector<std::unique_ptr<line::RtuLink>> open_lines(const config::Config& config) {
  const bool several = config.buses.size() > 1;
  std::vector<std::unique_ptr<line::RtuLink>> links;
  for (const config::BusConfig& bus : config.buses)
    links.push_back(std::make_unique<line::RtuLink>(bus.settings, several));
  const bool any_open =
      std::any_of(links.begin(), links.end(), [](const auto& link) { return link->port_open(); });
  if (!any_open) {
    for (size_t i = 1; i < links.size(); ++i) base::log::error(links[i]->open_error());
    throw line::LinkError(links.front()->open_error());
  }
  for (const auto& link : links)
    if (!link->port_open())
      base::log::error(link->open_error() + "; its units wait while it is tried again");
  return links;
}

}  // namespace gw::service
