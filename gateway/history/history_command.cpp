#include "gateway/history/history_command.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "gateway/base/usage_error.h"
#include "gateway/config/config.h"
#include "gateway/readings/local_time.h"

namespace gw::history {
namespace {

std::optional<std::time_t> time_option(const std::optional<std::string>& text, const char* option) {
  if (!text) return std::nullopt;
  const std::optional<std::time_t> time = readings::parse_time_argument(*text);
  if (!time)
    throw base::UsageError(std::string(option) + " " + *text +
                           ": not a time (ISO 8601: 2024-05-01, 2024-05-01T12:00, "
                           "2024-05-01T12:00:00+02:00)");
  return time;
}

// A period that holds no instant is a mistake in the command, not an empty
// export.
void check_period(const ExportQuery& query, const HistoryCommand& command) {
  if (query.since && query.until && *query.since >= *query.until)
    throw base::UsageError("--since " + *command.since + " is not before --until " +
                           *command.until + ": the period is empty");
}

// The configuration, when it can be read: with --history, it only serves
// to recognise a unit's name, and the command does without it.
std::optional<config::Config> optional_config(const std::string& file) {
  try {
    return config::load_config(file);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<std::string> configured_units(const std::optional<config::Config>& config) {
  std::vector<std::string> names;
  if (config)
    for (const config::UnitConfig& unit : config::all_units(*config)) names.push_back(unit.name);
  return names;
}

// A unit that neither the configuration nor the history knows is a typing
// mistake: an empty export would pass for "no data".
void check_unit(std::optional<config::Config> config, const std::string& path,
                const HistoryCommand& command) {
  if (!command.unit || history_has_unit(path, *command.unit)) return;
  if (!config) config = optional_config(command.config_file);
  const std::vector<std::string> names = configured_units(config);
  if (std::find(names.begin(), names.end(), *command.unit) != names.end()) return;
  std::string known;
  for (const std::string& name : names) known += (known.empty() ? "" : ", ") + name;
  throw base::UsageError("--unit " + *command.unit + ": no such unit in " + path +
                         (config ? " or " + command.config_file + " (" + known + ")" : ""));
}

}  // namespace

int run_history_command(const HistoryCommand& command) {
  ExportQuery query;
  query.unit = command.unit;
  query.since = time_option(command.since, "--since");
  query.until = time_option(command.until, "--until");
  query.format = command.format;
  query.include_reloads = command.include_reloads;
  check_period(query, command);
  std::optional<config::Config> config;
  if (!command.history) config = config::load_config(command.config_file);
  const std::string path = command.history ? *command.history : config->history;
  if (path.empty())
    throw config::ConfigError(command.config_file + ": history: is missing (or give --history)");
  check_unit(config, path, command);
  const ExportSummary summary = command.alarms ? export_alarms(path, query, std::cout)
                                               : export_readings(path, query, std::cout);
  std::cerr << "norvane-gateway history: " << summary.written
            << (command.alarms ? " alarm events" : " records");
  if (summary.reloads_left_out > 0)
    std::cerr << "; " << summary.reloads_left_out << " reload records left out";
  if (summary.unreadable > 0) std::cerr << "; " << summary.unreadable << " unreadable rows";
  std::cerr << std::endl;
  return 0;
}

}  // namespace gw::history
