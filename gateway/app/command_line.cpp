#include "gateway/app/command_line.h"

#include <CLI/CLI.hpp>

#include <iostream>

#include "gateway/config/config.h"
#include "gateway/readings/reading_table.h"

#ifndef NORVANE_VERSION
#error "NORVANE_VERSION is the project's version"
#endif

namespace gw::app {
namespace {

constexpr char kDescription[] =
    "norvane-gateway drives precision air-conditioning units over Modbus RTU through a device "
    "plug-in (norvane.so), as the monitoring host does: it polls them, stores every completed "
    "round and every alarm in an SQLite history, carries out set-point and on/off commands, "
    "and answers a control socket.";

constexpr char kFooter[] = R"(
Without a subcommand, --config FILE is required and the gateway polls as `run` does.

Signals: SIGTERM and SIGINT stop the gateway after the exchange in flight;
SIGHUP reloads the configuration file; SIGUSR1 logs every unit's state;
SIGUSR2 switches the debug log (a trace of every frame) on and off.

Exit status: 0 done; 1 an error (configuration, plug-in, serial port or its
lock, history, control socket), named on standard error, or --rounds N
ended with records or alarm events that the history lost; 2 a usage error;
3 a command was not done; 4 --rounds N ended with a unit that completed no
round.

Files: /etc/norvane/gateway.json (configuration), /run/norvane/gateway.sock
(control socket), /var/lib/norvane/history.db (history, as configured).)";

// A set point's argument, checked as every way in checks it
// (base::setpoint_value), and given on as the whole number: "24.0" is 24.
CLI::Validator setpoint_argument(base::CommandKind kind) {
  return CLI::Validator(
      [kind](std::string& text) {
        const base::SetpointValue setpoint = base::setpoint_value(kind, text);
        if (!setpoint.value) return setpoint.why;
        text = std::to_string(*setpoint.value);
        return std::string();
      },
      "", "set point");
}

// The run options, on the top level (and through it on `run`).
struct RunFlags {
  std::vector<int> temperatures, humidities;
  CLI::Option *set_temperature, *set_humidity, *unit_on, *unit_off;
};

void add_run_options(CLI::App& app, service::RunOptions& run, RunFlags& flags,
                     std::string& log_level) {
  app.add_option("--config", run.config_file, "The configuration file (JSON)")->type_name("FILE");
  app.add_option("--plugin", run.plugin, "The plug-in file, instead of the file's \"plugin\"")
      ->type_name("PATH");
  app.add_option("--port", run.port,
                 "The serial port, instead of the file's \"bus\".\"port\" (one bus only)")
      ->type_name("PATH");
  app.add_option("--history", run.history, "The history database, instead of \"history\"")
      ->type_name("DB");
  app.add_option("--socket", run.socket, "The control socket, instead of \"control\".\"socket\"")
      ->type_name("PATH");
  app.add_option("--interval", run.interval_s,
                 "Seconds from the start of a pass over the units to the next's (decimals allowed)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--rounds", run.rounds, "Poll N rounds of every unit, then stop")
      ->type_name("N")
      ->check(CLI::Range(0L, 1L << 40));
  app.add_flag("--report", run.report, "Print each unit's status report after its rounds");
  app.add_option_function<std::string>(
         "--output", [&run](const std::string&) { run.jsonl_stdout = true; },
         "jsonl: a JSON object on standard output for every completed round (the record lines "
         "go to standard error then)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"jsonl"}));
  app.add_option("--unit", run.unit, "The unit of the commands (when there are several)")
      ->type_name("NAME");
  flags.set_temperature =
      app.add_option("--set-temperature", flags.temperatures, "Set the temperature (whole C)")
          ->type_name("C")
          ->transform(setpoint_argument(base::CommandKind::kSetTemperature));
  flags.set_humidity =
      app.add_option("--set-humidity", flags.humidities, "Set the humidity (whole percent)")
          ->type_name("PERCENT")
          ->transform(setpoint_argument(base::CommandKind::kSetHumidity));
  flags.unit_on = app.add_flag("--unit-on", "Switch the unit on");
  flags.unit_off = app.add_flag("--unit-off", "Switch the unit off");
  app.add_option("--log-level", log_level, "error, warning, notice, info (default) or debug")
      ->type_name("LEVEL")
      ->check(CLI::IsMember({"error", "warning", "notice", "info", "debug"}));
}

// The commands in the order given on the command line.
std::vector<base::Command> commands_in_order(const CLI::App& app, const RunFlags& flags) {
  std::vector<base::Command> commands;
  size_t temperature = 0, humidity = 0;
  for (const CLI::Option* option : app.parse_order()) {
    if (option == flags.set_temperature)
      commands.push_back(
          {base::CommandKind::kSetTemperature, flags.temperatures.at(temperature++)});
    else if (option == flags.set_humidity)
      commands.push_back({base::CommandKind::kSetHumidity, flags.humidities.at(humidity++)});
    else if (option == flags.unit_on)
      commands.push_back({base::CommandKind::kUnitOn, 0});
    else if (option == flags.unit_off)
      commands.push_back({base::CommandKind::kUnitOff, 0});
  }
  return commands;
}

struct CtlFlags {
  std::string config_file, unit, value_name;
  int value = 0;
};

Json::Value request_named(const char* name) {
  Json::Value request(Json::objectValue);
  request["request"] = name;
  return request;
}

void add_ctl(CLI::App& app, Invocation& invocation, CtlFlags& flags) {
  CLI::App* ctl = app.add_subcommand(
      "ctl", "Ask a running gateway through its control socket; prints the reply readably");
  auto* config = ctl->add_option("--config", flags.config_file,
                                 "Take the socket from this configuration file (default " +
                                     std::string(config::kDefaultConfigFile) + ")")
                     ->type_name("FILE");
  ctl->add_option("--socket", invocation.ctl.socket, "The control socket")
      ->type_name("PATH")
      ->excludes(config);
  ctl->add_flag("--json", invocation.ctl.json, "Print the replies as JSON, one object a line");
  ctl->add_option("--timeout", invocation.ctl.timeout_s,
                  "Seconds that a command may wait for its outcome")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.1, 600.0));
  ctl->require_subcommand(1);

  auto request = [&](const char* name, const char* help, bool unit, bool unit_required) {
    CLI::App* sub = ctl->add_subcommand(name, help);
    if (unit) {
      auto* option = sub->add_option("unit", flags.unit, "The unit's name")->type_name("UNIT");
      if (unit_required) option->required();
    }
    return sub;
  };
  request("status",
          "The service and every unit: state, age of the data, counters, alarms (for UNIT its "
          "values too)",
          true, false);
  CLI::App* values = request(
      "values",
      "UNIT's state and the values of its last completed round, with their units; with NAME "
      "that value alone, bare, for scripts (an error when the unit's data is not current)",
      true, true);
  values->alias("readings");
  values->add_option("name", flags.value_name, "A reading's name (docs/readings.md)")
      ->type_name("NAME")
      ->check(CLI::Validator(
          [](const std::string& name) {
            const readings::ReadingRow* row = readings::reading_row(name);
            return row != nullptr && row->kind != readings::ReadingKind::kTime
                       ? std::string()
                       : "no reading named " + name +
                             " (the names: norvane-gateway ctl values UNIT, docs/readings.md)";
          },
          "NAME", "reading name"));
  request("report", "UNIT's last status report as the plug-in gives it", true, true);
  request("set-temperature", "Set UNIT's temperature set point", true, true)
      ->add_option("value", flags.value, "Whole degrees C")
      ->type_name("C")
      ->required()
      ->transform(setpoint_argument(base::CommandKind::kSetTemperature));
  request("set-humidity", "Set UNIT's humidity set point", true, true)
      ->add_option("value", flags.value, "Whole percent")
      ->type_name("PERCENT")
      ->required()
      ->transform(setpoint_argument(base::CommandKind::kSetHumidity));
  request("on", "Switch UNIT on", true, true);
  request("off", "Switch UNIT off", true, true);
  request("reload", "Read the configuration file again", false, false);
  request("events", "Print rounds, alarms and commands as they happen, until interrupted", false,
          false);
}

void add_history(CLI::App& app, history::HistoryCommand& command) {
  CLI::App* history = app.add_subcommand(
      "history",
      "Write the stored readings or alarm events out, decoded (read-only; a running "
      "gateway may go on writing)");
  history->require_subcommand(1);
  for (const bool alarms : {false, true}) {
    CLI::App* sub = history->add_subcommand(
        alarms ? "alarms" : "export",
        alarms ? "The alarm events: time, unit, signal id, state, level, English title, detail"
               : "The readings of every stored round, by English name (reload rounds left out)");
    sub->add_option("--config", command.config_file,
                    "The configuration whose \"history\" to read (default " +
                        std::string(config::kDefaultConfigFile) + ")")
        ->type_name("FILE");
    sub->add_option("--history", command.history, "The history database, instead of the file's")
        ->type_name("DB");
    sub->add_option("--unit", command.unit, "Only this unit's (default: every unit's)")
        ->type_name("UNIT");
    sub->add_option("--since", command.since, "From this time on (ISO 8601; local without offset)")
        ->type_name("TIME");
    sub->add_option("--until", command.until, "Before this time")->type_name("TIME");
    sub->add_option("--format", command.format, "csv (default) or jsonl")
        ->type_name("FORMAT")
        ->transform(CLI::CheckedTransformer(std::map<std::string, history::ExportFormat>{
            {"csv", history::ExportFormat::kCsv}, {"jsonl", history::ExportFormat::kJsonl}}));
    if (!alarms)
      sub->add_flag("--include-reloads", command.include_reloads,
                    "Reload rounds too, marked in a column \"reload\"");
  }
}

Json::Value ctl_request(const CLI::App& ctl, const CtlFlags& flags) {
  const CLI::App* chosen = ctl.get_subcommands().at(0);
  const std::string name = chosen->get_name();
  auto command = [&](base::CommandKind kind) {
    return control::command_request(flags.unit,
                                    base::Command{kind, base::takes_value(kind) ? flags.value : 0});
  };
  if (name == "set-temperature") return command(base::CommandKind::kSetTemperature);
  if (name == "set-humidity") return command(base::CommandKind::kSetHumidity);
  if (name == "on") return command(base::CommandKind::kUnitOn);
  if (name == "off") return command(base::CommandKind::kUnitOff);
  Json::Value request = request_named(name == "report" ? "readings" : name.c_str());
  if (!flags.unit.empty()) request["unit"] = flags.unit;
  return request;
}

}  // namespace

Invocation parse_command_line(int argc, const char* const* argv) {
  Invocation invocation;
  CLI::App app(kDescription, "norvane-gateway");
  app.set_version_flag("--version", std::string("norvane-gateway ") + NORVANE_VERSION);
  app.require_subcommand(0, 1);
  RunFlags run_flags;
  std::string log_level = "info";
  add_run_options(app, invocation.run, run_flags, log_level);
  CLI::App* run = app.add_subcommand("run", "Run the gateway: the service (default configuration " +
                                                std::string(config::kDefaultConfigFile) + ")");
  run->fallthrough();
  CtlFlags ctl_flags;
  add_ctl(app, invocation, ctl_flags);
  add_history(app, invocation.history);
  app.footer(kFooter);  // after the subcommands, which would inherit it
  try {
    app.parse(argc, argv);
    invocation.log_level = *base::log::level_named(log_level);
    CLI::App* ctl = app.get_subcommand("ctl");
    if (ctl->parsed()) {
      invocation.kind = Invocation::Kind::kCtl;
      if (invocation.ctl.socket.empty())
        invocation.ctl.socket = config::read_control_socket(
            ctl_flags.config_file.empty() ? config::kDefaultConfigFile : ctl_flags.config_file);
      invocation.request = ctl_request(*ctl, ctl_flags);
      if (!ctl_flags.value_name.empty()) invocation.ctl.value_name = ctl_flags.value_name;
      return invocation;
    }
    if (CLI::App* history = app.get_subcommand("history"); history->parsed()) {
      invocation.kind = Invocation::Kind::kHistory;
      invocation.history.alarms = history->get_subcommands().at(0)->get_name() == "alarms";
      if (invocation.history.config_file.empty())
        invocation.history.config_file = config::kDefaultConfigFile;
      return invocation;
    }
    if (invocation.run.config_file.empty()) {
      if (!run->parsed())
        throw CLI::ValidationError("give --config FILE, or a subcommand: run, ctl or history");
      invocation.run.config_file = config::kDefaultConfigFile;
    }
    invocation.run.commands = commands_in_order(app, run_flags);
    invocation.kind = Invocation::Kind::kRun;
  } catch (const CLI::ParseError& error) {
    const int printed = app.exit(error);
    invocation.exit_status = printed == 0 ? 0 : 2;
  }
  return invocation;
}

}  // namespace gw::app
