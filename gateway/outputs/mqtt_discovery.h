// Home Assistant's discovery messages: what the gateway announces under
// PREFIX/COMPONENT/NODE/OBJECT/config (retained), pure builders (no I/O).
//
// The gateway is a device of its own (its identifier is NODE, the client id
// as an id, its version, and its status as a connectivity sensor on
// BASE/status, whose last will says "offline"); each unit is a device
// named with its title, linked to the gateway's by `via_device`.
//
// Every entity gives its entity id twice: `default_entity_id`
// ("sensor.ac1_return_air_temperature"), which current releases read, and
// `object_id` ("ac1_return_air_temperature"), which releases before it
// read; each release drops the key it does not know without a word, and
// both give the same id.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "gateway/base/commands.h"
#include "gateway/outputs/mqtt_messages.h"

namespace gw::outputs::mqtt {

struct Discovery {
  std::string prefix;   // "homeassistant"
  std::string node;     // the gateway's node id: letters, digits, '_' and '-'
  std::string version;  // the gateway's, the device's sw_version
  bool commands = false;
};

struct Announcement {
  std::string topic;
  std::string payload;  // JSON; empty to withdraw
};

// What a unit's entities say of it: announced again when any of it changes.
struct UnitEntities {
  std::string name;   // as in its topics
  std::string title;  // the device's name (UTF-8)
  base::SetpointLimits limits;
  std::map<std::string, int> alarm_levels;  // by signal id; 0: not supervised
  bool operator==(const UnitEntities& other) const {
    return name == other.name && title == other.title && limits == other.limits &&
           alarm_levels == other.alarm_levels;
  }
  bool operator!=(const UnitEntities& other) const { return !(*this == other); }
};

// The gateway's device and its status entity.
std::vector<Announcement> gateway_announcements(const Discovery& discovery, const Topics& topics);

// Every entity of a unit, one for each condition: a sensor for each number
// and enumeration, a binary sensor of class running for each running
// state, of class problem for each fault flag and each limit alarm (the
// flag's alarm, when it has one, as its attributes), of class
// connectivity for the loss of communication, and, with commands, a
// climate entity whose ranges are the whole values within the limits.
// Then the topics of entities that earlier releases announced and this
// one does not, withdrawn (empty payloads).
std::vector<Announcement> unit_announcements(const Discovery& discovery, const Topics& topics,
                                             const UnitEntities& unit);
// Every topic of a unit's entities, of this release and earlier ones, with
// empty payloads: the unit's entities withdrawn.
std::vector<Announcement> unit_withdrawals(const Discovery& discovery, const std::string& unit);

}  // namespace gw::outputs::mqtt
