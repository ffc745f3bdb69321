// What the gateway publishes over MQTT, and where: pure builders of topics
// and payloads from the state and the event stream (no I/O).
//
//   BASE/status                  "online" / "offline" (retained; the last will)
//   BASE/UNIT/availability       "online" while the unit answers with fresh data,
//                                else "offline": not retained, so that no "online"
//                                outlives the gateway; sent at each change, at each
//                                connection and every 15 s for who subscribes later
//   BASE/UNIT/state              the last completed round (retained): {"unit", "time",
//                                "round", "state", "fresh", "readings", "alarms"}
//   BASE/UNIT/alarms             the active alarms (retained): [{"signal_id", "title", ...}]
//   BASE/UNIT/alarm              each alarm raised or cleared (QoS 1): {"unit", "time",
//                                "signal_id", "title", "state", "level", "detail", "unit_title"}
//   BASE/UNIT/command            each command's outcome (QoS 1): {"unit", "time",
//                                "command", "outcome", "done"[, "detail"]}
//   BASE/UNIT/set/temperature    with "mqtt"."commands": a set point, whole degrees C
//   BASE/UNIT/set/humidity       whole percent
//   BASE/UNIT/set/power          "ON" or "OFF"
//   BASE/UNIT/set/mode           "auto" (on) or "off", as Home Assistant's climate sends
//
// and Home Assistant's discovery messages (mqtt_discovery.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "gateway/base/commands.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/state/event_stream.h"

namespace gw::outputs::mqtt {

// Whether a unit's name can be a topic level (UTF-8, no wildcard, no '/').
bool topic_safe(const std::string& unit);

struct Topics {
  std::string base;

  std::string status() const { return base + "/status"; }
  std::string unit(const std::string& name, const char* leaf) const {
    return base + "/" + name + "/" + leaf;
  }
  // The commands' filter: BASE/+/set/+.
  std::string commands() const { return base + "/+/set/+"; }
};

std::string state_payload(const state::RoundCompleted& round);
// For a unit seen in the state table (not answering, stale, or not polled
// yet): the same shape, "fresh" false.
std::string state_payload(const UnitView& view);
std::string alarms_payload(const std::vector<state::ActiveAlarm>& alarms);
std::string alarm_event_payload(const state::AlarmChanged& change);
std::string command_payload(const std::string& unit, base::SystemTime at,
                            const std::string& command, const std::string& outcome, bool done,
                            const std::string& detail = "");

// A command received on BASE/UNIT/set/WHAT: the unit and the command, or
// `error` saying why it cannot be one. The payload may be any bytes, of
// any length: `error` is valid UTF-8 and quotes at most 32 bytes of it.
struct ReceivedCommand {
  std::string unit;
  std::optional<base::Command> command;
  std::string error;
};
std::optional<ReceivedCommand> parse_command(const Topics& topics, const std::string& topic,
                                             const std::string& payload);

}  // namespace gw::outputs::mqtt
