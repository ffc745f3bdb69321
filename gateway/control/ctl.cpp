#include "gateway/control/ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "gateway/base/json_parse.h"
#include "gateway/control/control_server.h"
#include "gateway/control/ctl_format.h"
#include "gateway/control/protocol.h"

namespace gw::control {
namespace {

using Clock = std::chrono::steady_clock;

// Beyond the gateway's own bound for a command, for the line to answer.
constexpr std::chrono::seconds kReplyMargin{10};
constexpr std::chrono::seconds kDefaultCommandWait{120};
// A reply line as ctl takes it: the status of hundreds of units fits.
constexpr base::JsonLimits kReplyLimits{64 * 1024 * 1024, 64};

Json::Value parse_line(const std::string& line, const std::string& path) {
  const base::ParsedJson parsed = base::parse_json(line, kReplyLimits);
  if (!parsed.ok() || !parsed.value.isObject())
    throw ControlError("the gateway at " + path + " sent something else than a JSON object");
  return parsed.value;
}

// `ctl values UNIT NAME`: the value alone on standard output, or why there
// is none on standard error (exit status 1), so that a script never takes
// an old value for a current one.
int print_bare_value(const Json::Value& reply, const std::string& name, bool json) {
  const BareValue value = bare_value(reply, name);
  if (!value.text) {
    std::cerr << "norvane-gateway ctl: " << value.why << std::endl;
    return 1;
  }
  std::cout << (json ? json_line(reply["readings"][name]) : *value.text) << "\n" << std::flush;
  return 0;
}

}  // namespace

ControlClient::ControlClient(const std::string& path) : path_(path) {
  const std::string what = "cannot reach the gateway at " + path + ": ";
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) throw ControlError(what + "path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int connected;
  do {
    connected = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (fd_ < 0 || connected != 0) {
    const std::string reason = std::strerror(errno);
    if (fd_ >= 0) ::close(fd_);
    throw ControlError(what + reason);
  }
}

ControlClient::~ControlClient() { ::close(fd_); }

Json::Value ControlClient::ask(const Json::Value& request, std::chrono::milliseconds timeout) {
  const std::string line = json_line(request) + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t count = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;  // closed: it may have said why ("busy"), read on
    sent += static_cast<size_t>(count);
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0)
      throw ControlError("the gateway at " + path_ + " did not answer within " +
                         std::to_string(timeout.count() / 1000) + " s");
    const std::optional<std::string> reply = read_line();
    if (!reply) throw ControlError("the gateway at " + path_ + " closed the connection");
    return parse_line(*reply, path_);
  }
}

std::optional<Json::Value> ControlClient::next() {
  const std::optional<std::string> line = read_line();
  if (!line) return std::nullopt;
  return parse_line(*line, path_);
}

std::optional<std::string> ControlClient::read_line() {
  for (;;) {
    const size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (buffer_.size() > kReplyLimits.largest_bytes)
      throw ControlError("the gateway at " + path_ + " sent a line longer than " +
                         std::to_string(kReplyLimits.largest_bytes) + " bytes");
    char chunk[4096];
    const ssize_t count = ::read(fd_, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<size_t>(count));
  }
}

Json::Value command_request(const std::string& unit, const base::Command& command) {
  Json::Value request(Json::objectValue);
  request["request"] = "command";
  request["unit"] = unit;
  request["command"] = base::kind_name(command.kind);
  if (base::takes_value(command.kind)) request["value"] = command.value;
  return request;
}

int run_ctl(const CtlOptions& options, Json::Value request) {
  const std::string kind = request["request"].asString();
  std::chrono::milliseconds wait = kDefaultCommandWait;
  if (kind == "command" && options.timeout_s) {
    request["timeout_s"] = *options.timeout_s;
    wait = std::chrono::milliseconds(static_cast<long>(*options.timeout_s * 1000));
  }
  try {
    ControlClient client(options.socket);
    const Json::Value reply = client.ask(request, wait + kReplyMargin);
    if (options.value_name && kind == "values" && reply["ok"].asBool())
      return print_bare_value(reply, *options.value_name, options.json);
    std::cout << (options.json ? json_line(reply) + "\n" : format_reply(kind, reply)) << std::flush;
    if (!reply["ok"].asBool()) return 1;
    if (kind == "command") return reply["done"].asBool() ? 0 : 3;
    if (kind != "events") return 0;
    while (const std::optional<Json::Value> event = client.next())
      std::cout << (options.json ? json_line(*event) + "\n" : format_event(*event)) << std::flush;
    return 0;
  } catch (const ControlError& error) {
    std::cerr << "norvane-gateway ctl: " << error.what() << std::endl;
    return 1;
  }
}

}  // namespace gw::control
