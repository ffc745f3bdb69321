#include "gateway/service/forward_commands.h"

#include <chrono>
#include <memory>

#include "gateway/control/control_server.h"
#include "gateway/control/ctl.h"
#include "gateway/control/ctl_format.h"
#include "gateway/base/log.h"

namespace gw {

int forward_commands(const RunOptions& options, const Config& config, const std::string& target,
                     const PortBusy& busy) {
  const std::string socket =
      config.control_socket.empty() ? kDefaultControlSocket : config.control_socket;
  std::unique_ptr<ControlClient> client;
  try {
    client = std::make_unique<ControlClient>(socket);
  } catch (const ControlError& error) {
    log::error(std::string(busy.what()) + ", and " + error.what());
    return 1;
  }
  log::notice(std::string(busy.what()) + ": the commands go through its control socket " + socket);
  if ((options.rounds && *options.rounds > 0) || options.report)
    log::notice("the running service polls the units; --rounds and --report are left to it");
  // Beyond the service's own bound, for the line to answer.
  const std::chrono::milliseconds wait(kLongestCommandWaitMs + 10000);
  bool all_done = true;
  for (const Command& command : options.commands) {
    try {
      const Json::Value reply = client->ask(command_request(target, command), wait);
      if (!reply["ok"].asBool()) {
        log::error("the gateway refused the command: " + reply["error"].asString());
        return 1;
      }
      std::string line = format_reply("command", reply);
      line.pop_back();  // its line feed
      log::record(log::Level::kNotice, line);
      all_done &= reply["done"].asBool();
    } catch (const ControlError& error) {
      log::error(error.what());
      return 1;
    }
  }
  return all_done ? 0 : 3;
}

}  // namespace gw
