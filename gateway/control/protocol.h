// The control socket's protocol: one JSON object per line each way, UTF-8.
//
// Requests ("id", any JSON value, is optional and echoed in the reply):
//   {"request": "status"}                       the service and every unit
//   {"request": "status", "unit": "ac1"}        one unit
//   {"request": "values", "unit": "ac1"}        the unit's readings by English name
//   {"request": "readings", "unit": "ac1"}      the unit's last report (the plug-in's)
//   {"request": "command", "unit": "ac1", "command": "set_temperature", "value": 24}
//       "set_temperature" (whole degrees C), "set_humidity" (whole percent),
//       "unit_on", "unit_off" (no value); optional "timeout_s" (0.1..600):
//       how long to wait for the outcome
//   {"request": "reload"}                       read the configuration file again
//   {"request": "events"}                       then one line per event, until closed
//
// Replies: {"ok": true, ...} or {"ok": false, "error": "what is wrong"}.
// A request is valid UTF-8, at most kMaxRequestBytes long and nested at most
// kDeepestRequest deep; every reply is valid UTF-8.
// docs/control-protocol.md lists every field.
#pragma once

#include <string>

#include <json/value.h>

#include "gateway/state/service_api.h"

namespace gw::control {

// Longest request line; a longer one is refused and the connection closed.
inline constexpr size_t kMaxRequestBytes = 65536;
// Arrays and objects within one another in a request (the request object
// is 1); deeper is refused. Only "id" nests at all.
inline constexpr int kDeepestRequest = 32;

// What the socket's server counts of its clients, shown by "status".
struct ClientCounts {
  long connected = 0;     // now
  long dropped_slow = 0;  // did not take a reply line within the write deadline
  long closed_idle = 0;   // sent no request within the idle time
  long evicted = 0;       // the longest idle, closed for a new client when all places were taken
};

struct Handled {
  std::string reply;           // one line of JSON, without its line feed
  bool stream_events = false;  // the connection goes on with the event stream
};

// Handles one request line. A command waits for its outcome, up to its
// bound. Whatever the line holds, the answer is a reply: malformed, too
// long or too deeply nested requests get {"ok": false, "error": ...}.
Handled handle_request(const std::string& line, state::ServiceApi& api,
                       const ClientCounts& clients = {});

// The reply to a line that grew past kMaxRequestBytes before its end.
std::string overlong_reply();

// An event of the stream as one line of JSON.
std::string event_line(const state::Event& event);

// The status reply for the snapshot (every unit, or only `unit`).
Json::Value status_reply(const state::ServiceInfo& info, const state::StateSnapshot& snapshot,
                         const std::string* unit);

// Compact JSON text, UTF-8 kept as it is.
std::string json_line(const Json::Value& value);

}  // namespace gw::control
