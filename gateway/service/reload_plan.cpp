#include "gateway/service/reload_plan.h"

#include "gateway/config/effective.h"
#include "gateway/config/field_table.h"

namespace gw::service {
namespace {

// The loaded bus of each running one, in the running order; empty when a
// bus came or went.
std::vector<const config::BusConfig*> match_buses(const config::Config& running,
                                                  const config::Config& loaded) {
  if (running.buses.size() != loaded.buses.size()) return {};
  if (running.buses.size() == 1) return {&loaded.buses.front()};
  std::vector<const config::BusConfig*> matched;
  for (const config::BusConfig& bus : running.buses) {
    const config::BusConfig* same = nullptr;
    for (const config::BusConfig& candidate : loaded.buses)
      if (candidate.settings.port == bus.settings.port) same = &candidate;
    if (same == nullptr) return {};
    matched.push_back(same);
  }
  return matched;
}

// Whether `row` differs between the two effective configurations: for a
// section, whether it is there in one and not in the other; for a field,
// its value; each only where the section that holds it is in both (else
// that section is the change).
bool differs(const config::Field& row, const Json::Value& running, size_t running_bus,
             const Json::Value& loaded, size_t loaded_bus) {
  if (config::holder(running, row.section, running_bus) == nullptr ||
      config::holder(loaded, row.section, loaded_bus) == nullptr)
    return false;
  const Json::Value& before = config::value_of(running, row, running_bus);
  const Json::Value& after = config::value_of(loaded, row, loaded_bus);
  if (row.type == config::FieldType::kSection || row.type == config::FieldType::kSectionList)
    return before.isNull() != after.isNull();
  return before != after;
}

bool is_line_field(const config::Field& row) { return row.section == "bus"; }

// The fields that only a restart applies and that changed, by the table:
// "history_keep_days", "mqtt.tls", "bus.baud", and a bus's among several
// as "buses[1].baud (/dev/ttyS2)". A unit's fields all apply at a reload.
std::vector<std::string> restart_fields(const config::Config& running, const config::Config& loaded,
                                        const std::vector<const config::BusConfig*>& matched) {
  const Json::Value before = config::effective(running);
  const Json::Value after = config::effective(loaded);
  std::vector<std::string> names;
  for (const config::Field& row : config::kFields) {
    if (row.reload != config::Reload::kRestart) continue;
    if (!is_line_field(row)) {
      if (differs(row, before, 0, after, 0)) names.push_back(row.path());
      continue;
    }
    for (size_t i = 0; i < matched.size(); ++i) {
      const auto j = static_cast<size_t>(matched[i] - loaded.buses.data());
      if (!differs(row, before, i, after, j)) continue;
      names.push_back(running.buses.size() == 1
                          ? row.path()
                          : "buses[" + std::to_string(i) + "]." + std::string(row.name) + " (" +
                                running.buses[i].settings.port + ")");
    }
  }
  return names;
}

}  // namespace

ReloadPlan plan_reload(const config::Config& running, const config::Config& loaded) {
  ReloadPlan plan;
  const std::vector<const config::BusConfig*> matched = match_buses(running, loaded);
  plan.needs_restart = restart_fields(running, loaded, matched);
  if (matched.empty())
    plan.needs_restart.push_back(
        "buses (a bus added or removed; every bus's units stay as they run)");

  // What a reload cannot change stays as it runs. The fields taken here
  // are the table's that a reload applies.
  static_assert(config::field("", "interval_s").reload == config::Reload::kApplied &&
                config::field("bus", "response_timeout_ms").reload == config::Reload::kApplied &&
                config::field("bus", "retries").reload == config::Reload::kApplied &&
                config::field("bus", "lost_after_rounds").reload == config::Reload::kApplied &&
                config::field("bus", "max_backoff_s").reload == config::Reload::kApplied &&
                config::field("buses[]", "units").reload == config::Reload::kApplied);
  plan.in_use = running;
  if (matched.empty()) return plan;
  plan.in_use.interval_s = loaded.interval_s;
  for (size_t i = 0; i < matched.size(); ++i) {
    const config::BusSettings& now = matched[i]->settings;
    config::BusConfig& bus = plan.in_use.buses[i];
    bus.settings.response_timeout_ms = now.response_timeout_ms;
    bus.settings.retries = now.retries;
    bus.settings.lost_after_rounds = now.lost_after_rounds;
    bus.settings.max_backoff_s = now.max_backoff_s;
    bus.units = matched[i]->units;
    bus::BusReload changes;
    changes.units = bus.units;
    changes.interval_s = loaded.interval_s;
    changes.response_timeout_ms = now.response_timeout_ms;
    changes.retries = now.retries;
    changes.lost_after_rounds = now.lost_after_rounds;
    changes.max_backoff_s = now.max_backoff_s;
    plan.buses.push_back(std::move(changes));
  }
  return plan;
}

}  // namespace gw::service
