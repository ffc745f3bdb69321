#include "gateway/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace gw {
namespace {

long whole_number(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
    throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  return value;
}

double seconds(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0) || value > 86400)
    throw UsageError(option + " takes seconds from 0 to 86400, not '" + text + "'");
  return value;
}

}  // namespace

Options parse_options(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(option + " needs a value");
      return argv[++i];
    };
    // Set points are whole degrees and percent; the device writes tenths.
    auto set_point = [&](CommandKind kind) {
      options.commands.push_back(
          {kind, static_cast<int>(whole_number(option, value(), -999, 999))});
    };
    if (option == "--config")
      options.config_file = value();
    else if (option == "--plugin")
      options.plugin = value();
    else if (option == "--port")
      options.port = value();
    else if (option == "--history")
      options.history = value();
    else if (option == "--interval")
      options.interval_s = seconds(option, value());
    else if (option == "--rounds")
      options.rounds = whole_number(option, value(), 0, 1L << 40);
    else if (option == "--report")
      options.report = true;
    else if (option == "--unit")
      options.unit = value();
    else if (option == "--set-temperature")
      set_point(CommandKind::kSetTemperature);
    else if (option == "--set-humidity")
      set_point(CommandKind::kSetHumidity);
    else if (option == "--unit-on")
      options.commands.push_back({CommandKind::kUnitOn, 0});
    else if (option == "--unit-off")
      options.commands.push_back({CommandKind::kUnitOff, 0});
    else if (option == "--help" || option == "-h")
      options.help = true;
    else
      throw UsageError("unknown option " + option);
  }
  if (options.config_file.empty() && !options.help) throw UsageError("--config FILE is required");
  return options;
}

const char* usage_text() {
  return "usage: norvane-gateway --config FILE [--plugin PATH] [--port PATH] [--history DB]\n"
         "                       [--interval SECONDS] [--rounds N] [--report] [--unit NAME]\n"
         "                       [--set-temperature C] [--set-humidity PERCENT]\n"
         "                       [--unit-on] [--unit-off]\n"
         "Loads the plug-in, reloads each unit's newest record from the history, carries out\n"
         "the commands given (for --unit NAME, or the only unit), then polls every unit once\n"
         "a round, N rounds or until SIGINT or SIGTERM. --report prints each unit's status\n"
         "report after each of its completed rounds.\n";
}

}  // namespace gw
