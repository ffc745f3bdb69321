// The control socket's client: `norvane-gateway ctl`, and the command-line
// commands of a gateway that finds its port held by a running service.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/base/commands.h"

namespace gw::control {

class ControlClient {
 public:
  // Connects; throws ControlError ("cannot reach the gateway at PATH: ...").
  explicit ControlClient(const std::string& path);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Sends one request and returns its reply, waiting at most `timeout`.
  // Throws ControlError.
  Json::Value ask(const Json::Value& request, std::chrono::milliseconds timeout);
  // The next line the gateway sends (an event), however long it takes;
  // nothing once the connection ends.
  std::optional<Json::Value> next();

 private:
  // The next whole line; nothing at the end of the connection.
  std::optional<std::string> read_line();

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
};

struct CtlOptions {
  std::string socket;               // the control socket
  bool json = false;                // print the replies as they come, one JSON object a line
  std::optional<double> timeout_s;  // for commands: how long the gateway waits
  // For "values": this reading alone, bare (a name of the readings table).
  std::optional<std::string> value_name;
};

// Sends the request and prints the reply (and, for "events", every event
// until the connection ends). Exit status: 0 done; 1 an error (the gateway
// cannot be reached or refused the request; the value asked for is not
// current); 3 a command was not done.
int run_ctl(const CtlOptions& options, Json::Value request);

// The request for a command.
Json::Value command_request(const std::string& unit, const base::Command& command);

}  // namespace gw::control
