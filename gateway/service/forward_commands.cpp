#include "gateway/service/forward_commands.h"

#include <chrono>
#include <memory>

#include "gateway/base/log.h"
#include "gateway/control/control_server.h"
#include "gateway/control/ctl.h"
#include "gateway/control/ctl_format.h"

namespace gw::service {

int forward_commands(const RunOptions& options, const config::Config& config,
                     const std::string& target, const line::PortBusy& busy) {
  const std::string socket =
      config.control_socket.empty() ? config::kDefaultControlSocket : config.control_socket;
  std::unique_ptr<control::ControlClient> client;
  try {
    client = std::make_unique<control::ControlClient>(socket);
  } catch (const control::ControlError& error) {
    base::log::error(std::string(busy.what()) + ", and " + error.what());
    return 1;
  }
  base::log::notice(std::string(busy.what()) + ": the commands go through its control socket " +
                    socket);
  if ((options.rounds && *options.rounds > 0) || options.report)
    base::log::notice("the running service polls the units; --rounds and --report are left to it");
  // Beyond the service's own bound, for the line to answer.
  const std::chrono::milliseconds wait(kLongestCommandWaitMs + 10000);
  bool all_done = true;
  for (const base::Command& command : options.commands) {
    try {
      const Json::Value reply = client->ask(control::command_request(target, command), wait);
      if (!reply["ok"].asBool()) {
        base::log::error("the gateway refused the command: " + reply["error"].asString());
        return 1;
      }
      std::string line = control::format_reply("command", reply);
      line.pop_back();  // its line feed
      base::log::record(base::log::Level::kNotice, line);
      all_done &= reply["done"].asBool();
    } catch (const control::ControlError& error) {
      base::log::error(error.what());
      return 1;
    }
  }
  return all_done ? 0 : 3;
}

}  // namespace gw::service
