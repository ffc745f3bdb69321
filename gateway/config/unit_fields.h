// A unit's entry of the configuration: its name, title, address,
// settings, alarm levels and limits and set-point limits, checked field by
// field. Inside the configuration room only; config.h has the results.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/config/fields.h"

namespace gw::config {

// The units named so far, by the part of Home Assistant's ids that their
// names give (base::entity_part): "ac.1" and "ac_1" would share a device,
// its entities and their discovery topics.
using UnitNames = std::map<std::string, std::string>;

// The "units" of `owner` (the top level or an entry of "buses"); `names`
// holds the names of the buses before, since a name is the unit's across
// every bus. A slave address is unique on its bus only.
std::vector<UnitConfig> parse_units(Fields& owner, const std::string& file, UnitNames& names);

}  // namespace gw::config
