// The configuration in use as JSON, every field of the table with its
// value (its default when the file left it out): the reload plan compares
// two of them field by field, and a reader sees what the gateway runs with.
// Its keys are the table's names (a name that is not in the table is a
// fault of the program); the buses are always a "buses" list, so a single
// "bus" is buses[0] with its "units".
#pragma once

#include <cstddef>

#include <json/value.h>

#include "gateway/config/config.h"
#include "gateway/config/field_table.h"

namespace gw::config {

Json::Value effective(const Config& config);

// The object of `effective` that holds the fields of `section`, for the
// bus and the unit of those indexes where the section is a bus's or a
// unit's; nullptr when it is absent (an output that is off).
const Json::Value* holder(const Json::Value& effective, std::string_view section, size_t bus = 0,
                          size_t unit = 0);

// The value of `row` in `effective` (null when absent).
const Json::Value& value_of(const Json::Value& effective, const Field& row, size_t bus = 0,
                            size_t unit = 0);

}  // namespace gw::config
