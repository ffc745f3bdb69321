// The gateway's control socket, entered where the socket enters: bytes as
// they arrive, in pieces of any size, framed into request lines and each
// line handled against a service that answers at once. Properties: no input
// ends the process (deep nesting, bytes that are not UTF-8, lines up to the
// limit and past it); every reply is one line of valid UTF-8 JSON, an
// object whose "ok" is a boolean.
#include <memory>

#include <json/json.h>

#include "gateway/base/utf8.h"
#include "gateway/control/protocol.h"
#include "gateway/control/request_lines.h"

namespace {

// The service as the protocol asks it: one unit "ac1"; commands are done at
// once, so that no request waits.
class InstantService : public gw::state::ServiceApi {
 public:
  gw::state::ServiceInfo info() const override { return {"1.0.0", 42, "/etc/norvane.json"}; }
  gw::state::StateSnapshot status() const override {
    gw::state::StateSnapshot snapshot;
    snapshot.units.emplace_back().name = "ac1";
    return snapshot;
  }
  std::shared_ptr<gw::base::CommandTicket> command(const std::string& unit,
                                                   const gw::base::Command& command) override {
    if (unit != "ac1") return nullptr;
    auto ticket = std::make_shared<gw::base::CommandTicket>(unit, command);
    ticket->begin();
    ticket->finish(gw::base::CommandOutcome::kDone);
    return ticket;
  }
  std::chrono::milliseconds command_wait() const override { return std::chrono::milliseconds(0); }
  gw::state::ReloadReport reload() override { return {}; }
  gw::state::EventStream& events() override { return stream_; }

 private:
  gw::state::EventStream stream_;
};

void check_reply(const std::string& reply) {
  if (reply.find('\n') != std::string::npos || !gw::base::valid_utf8(reply)) __builtin_trap();
  Json::Value value;
  if (!Json::Reader().parse(reply, value) || !value.isObject() || !value["ok"].isBool())
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InstantService service;
  if (size == 0) return 0;
  // The first byte sets the size of the pieces the bytes arrive in.
  const size_t piece = 1 + static_cast<size_t>(data[0]) * 64;
  gw::control::RequestLines lines(gw::control::kMaxRequestBytes);
  for (size_t at = 1; at < size; at += piece) {
    const size_t count = std::min(piece, size - at);
    lines.append(reinterpret_cast<const char*>(data) + at, count);
    while (const std::optional<std::string> line = lines.next())
      check_reply(gw::control::handle_request(*line, service).reply);
    if (lines.overlong()) {
      check_reply(gw::control::overlong_reply());
      break;  // the socket closes the connection
    }
  }
  return 0;
}
