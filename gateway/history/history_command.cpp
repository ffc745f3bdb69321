#include "gateway/history/history_command.h"

#include <iostream>

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

}  // namespace

int run_history_command(const HistoryCommand& command) {
  ExportQuery query;
  query.unit = command.unit;
  query.since = time_option(command.since, "--since");
  query.until = time_option(command.until, "--until");
  query.format = command.format;
  query.include_reloads = command.include_reloads;
  const std::string path =
      command.history ? *command.history : config::load_config(command.config_file).history;
  if (path.empty())
    throw config::ConfigError(command.config_file + ": history: is missing (or give --history)");
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
