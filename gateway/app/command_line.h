// The gateway's command line (CLI11):
//
//   norvane-gateway --config FILE [OPTIONS]       poll (as `run`)
//   norvane-gateway run [--config FILE] [OPTIONS]  the service
//   norvane-gateway ctl [--config FILE | --socket PATH] [--json] [--timeout S] REQUEST ...
//   norvane-gateway history export|alarms [--config FILE] [--unit U] [--since T] [--until T]
//                                          [--format csv|jsonl]
//
// `norvane-gateway --help` lists everything.
#pragma once

#include <optional>

#include <json/value.h>

#include "gateway/base/log.h"
#include "gateway/control/ctl.h"
#include "gateway/history/history_command.h"
#include "gateway/service/service.h"

namespace gw::app {

struct Invocation {
  enum class Kind { kRun, kCtl, kHistory, kExit };
  Kind kind = Kind::kExit;
  int exit_status = 0;  // for kExit: help, version or a usage error, already printed
  base::log::Level log_level = base::log::Level::kInfo;
  service::RunOptions run;
  control::CtlOptions ctl;
  Json::Value request;  // for kCtl
  history::HistoryCommand history;
};

// Parses the command line; prints --help, --version and usage errors
// (exit status 2) itself.
Invocation parse_command_line(int argc, const char* const* argv);

}  // namespace gw::app
