// A unit's name as it goes into the ids of other systems. A unit is named
// with 1 to 32 of letters, digits, '-', '_' and '.' (config.cpp); the
// topics of MQTT take the name as it is, while Home Assistant's ids take
// fewer characters. The configuration refuses two units whose names come
// out the same here, so that no unit takes another's entities.
#pragma once

#include <string>

namespace gw::base {

// For Home Assistant's unique ids, device identifiers and discovery
// topics, which take letters, digits, '_' and '-': every other byte as '_'
// ("ac.1" -> "ac_1"). Case is kept: the unique ids announced so far stay.
std::string id_part(const std::string& name);

// For Home Assistant's entity ids ("sensor.ac_1_return_air_temperature"),
// which take lower-case letters, digits and single '_' between them: lower
// case, every other run of bytes as one '_', none at either end; "unit"
// for a name without a letter or a digit. Two names with the same
// `id_part` have the same `entity_part`, so this one tells a clash of both.
std::string entity_part(const std::string& name);

}  // namespace gw::base
