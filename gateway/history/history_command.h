// `norvane-gateway history export|alarms`: the history file's readings or
// alarm events, decoded, on standard output (history_export.h), from the
// history that the configuration names. Read-only, beside a running
// gateway (the file is in WAL mode: a reader never holds the writer up).
#pragma once

#include <optional>
#include <string>

#include "gateway/history/history_export.h"

namespace gw::history {

struct HistoryCommand {
  bool alarms = false;  // `alarms`; else `export` (the readings)
  std::string config_file;
  std::optional<std::string> history;  // instead of the file's "history"
  std::optional<std::string> unit, since, until;
  ExportFormat format = ExportFormat::kCsv;
  bool include_reloads = false;
};

// Exit status: 0 written; 1 an error (named on standard error); 2 a usage
// error (base::UsageError): a time that is not one, --since not before
// --until (an empty period), or a --unit that neither the configuration
// nor the history knows.
int run_history_command(const HistoryCommand& command);

}  // namespace gw::history
