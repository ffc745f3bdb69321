// The state table in Prometheus's text exposition format (version 0.0.4),
// as /metrics serves it:
//
//   norvane_unit_info{unit="ac1",title="Room 1 east",bus="/dev/ttyUSB0",slave="1",data_id="101"} 1
//   norvane_unit_state{unit="ac1",state="answering"} 1         not_polled, answering, not_answering
//   norvane_unit_up{unit="ac1"} 1                  fresh data: answering, not stale
//   norvane_last_round_timestamp_seconds{unit="ac1"} 1714557605
//   norvane_return_air_temperature_celsius{unit="ac1"} 24.1    every reading, while fresh
//   norvane_run_state{unit="ac1",state="running"} 1             enumerations as state sets
//   norvane_alarm_active{unit="ac1",signal_id="120800150010",title="Water on the floor",
//                        level="3",severity="critical"} 1
//   norvane_rounds_total{unit="ac1"} 1480                       the counters' table
//   norvane_commands_total{unit="ac1",outcome="done"} 3        snake_case, as every enumeration
//   norvane_port_lost_total{port="/dev/ttyUSB0"} 0
//
// Every label value that names one of a set (a state, an outcome, a
// severity) is a snake_case word; free texts (titles, ports) are as given.
// A unit whose data is stale (not answering, or older than fresh_for)
// has no reading samples at all: its series end instead of going on with
// old values. Pure: no I/O.
#pragma once

#include <string>

#include "gateway/state/service_api.h"

namespace gw::outputs {

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string metrics_text(const state::ServiceInfo& info, const state::StateSnapshot& snapshot,
                         base::SystemTime now);

}  // namespace gw::outputs
