// How `norvane-gateway ctl` shows the control socket's replies to a person:
// every reply and event is made readable here, and only here.
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

namespace gw::control {

// The text for the reply to a request ("status", "readings", "command",
// "reload", "events"), lines ending in a line feed.
std::string format_reply(const std::string& request, const Json::Value& reply);
// One event of the stream, one line with its line feed.
std::string format_event(const Json::Value& event);

// One reading of a "values" reply for a script: its bare value as the
// history's CSV gives it ("24.1", "alarm", "running", "31536000"), without
// unit or line feed; nothing when the unit has no current value (not
// answering, stale, no round yet), `why` then says so.
struct BareValue {
  std::optional<std::string> text;
  std::string why;
};
BareValue bare_value(const Json::Value& reply, const std::string& name);

}  // namespace gw::control
