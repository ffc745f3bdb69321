// How `norvane-gateway ctl` shows the control socket's replies to a person:
// every reply and event is made readable here, and only here.
#pragma once

#include <string>

#include <json/value.h>

namespace gw::control {

// The text for the reply to a request ("status", "readings", "command",
// "reload", "events"), lines ending in a line feed.
std::string format_reply(const std::string& request, const Json::Value& reply);
// One event of the stream, one line with its line feed.
std::string format_event(const Json::Value& event);

}  // namespace gw::control
