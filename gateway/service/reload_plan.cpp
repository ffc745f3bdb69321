#include "gateway/service/reload_plan.h"

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

}  // namespace

ReloadPlan plan_reload(const config::Config& running, const config::Config& loaded) {
  ReloadPlan plan;
  std::vector<std::string>& fields = plan.needs_restart;
  if (running.plugin != loaded.plugin) fields.push_back("plugin");
  if (running.history != loaded.history || !(running.history_options == loaded.history_options))
    fields.push_back("history");
  const std::vector<const config::BusConfig*> matched = match_buses(running, loaded);
  if (matched.empty())
    fields.push_back("buses (a bus added or removed; every bus's units stay as they run)");
  for (size_t i = 0; i < matched.size(); ++i) {
    if (config::same_line(running.buses[i].settings, matched[i]->settings)) continue;
    fields.push_back(running.buses.size() == 1 ? "bus (port, baud, framing, serial_mode, rts)"
                                               : "bus " + running.buses[i].settings.port +
                                                     " (baud, framing, serial_mode, rts)");
  }
  if (running.control_socket != loaded.control_socket) fields.push_back("control.socket");
  for (const char* output : {"http", "mqtt", "notify", "jsonl"})
    if (running.outputs.sections[output] != loaded.outputs.sections[output])
      fields.push_back(output);

  // What a reload cannot change stays as it runs.
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
