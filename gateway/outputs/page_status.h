// What the status page shows of the state table (GET /api/status): every
// unit's view in the order a person should look at them, and a summary of
// the room. The page renders this; it judges neither order nor counts.
#pragma once

#include <string>

#include <json/value.h>

#include "gateway/state/unit_table.h"

namespace gw::outputs {

// A unit needs attention when it has an active alarm or no current data
// (not answering, not polled yet, or stale).
//
// {"gateway": {"version", "started", "time"},
//  "summary": {"units", "alarming" (units with an active alarm of their own,
//              "Unit not answering" apart), "not_answering" (units without
//              current data)},
//  "units": [view_json + "slave", "data_id", "bus", "position" (0 for the
//            configuration's first unit), "alarm_level" (the
//            worst active level, 0 for none), "alarm_level_name" (its name,
//            null for none), "attention" (bool)]}
// Units needing attention come first, the worst alarm level first, then
// the rest; otherwise in the configuration's order.
Json::Value page_status_json(const state::StateSnapshot& snapshot, const std::string& version,
                             base::SystemTime now);

}  // namespace gw::outputs
