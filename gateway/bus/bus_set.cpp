#include "gateway/bus/bus_set.h"

#include <algorithm>
#include <future>
#include <set>

#include "gateway/base/log.h"

namespace gw::bus {
namespace {

using Clock = std::chrono::steady_clock;
using Pending = std::vector<std::optional<std::future<BusReloadResult>>>;

void append(std::vector<std::string>& to, const std::vector<std::string>& names) {
  to.insert(to.end(), names.begin(), names.end());
}

// The results of the buses' reloads, waited for until `deadline`; nothing
// when a bus has not applied its part by then. A bus that has ended has
// nothing to tell.
std::optional<std::vector<BusReloadResult>> wait_for(Pending& pending, Clock::time_point deadline) {
  std::vector<BusReloadResult> results;
  for (auto& result : pending) {
    if (!result) continue;
    if (result->wait_until(deadline) != std::future_status::ready) return std::nullopt;
    results.push_back(result->get());
  }
  return results;
}

// One result for all buses. A unit that one bus removed and another added
// moved: it was set up again. A unit named in one bus's result as changed
// is not also unchanged (a bus that took a unit in was reloaded twice).
BusReloadResult merged(const std::vector<BusReloadResult>& results) {
  BusReloadResult all;
  for (const BusReloadResult& result : results) {
    append(all.added, result.added);
    append(all.removed, result.removed);
    append(all.set_up_again, result.set_up_again);
    append(all.unchanged, result.unchanged);
    append(all.errors, result.errors);
    all.departed.insert(result.departed.begin(), result.departed.end());
  }
  const std::set<std::string> removed(all.removed.begin(), all.removed.end());
  std::vector<std::string> added;
  for (const std::string& name : all.added)
    (removed.count(name) ? all.set_up_again : added).push_back(name);
  const std::set<std::string> moved(all.set_up_again.begin(), all.set_up_again.end());
  all.added = std::move(added);
  auto drop = [](std::vector<std::string>& names, const std::set<std::string>& these) {
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& name) { return these.count(name) > 0; }),
                names.end());
  };
  drop(all.removed, moved);
  std::set<std::string> changed(all.added.begin(), all.added.end());
  changed.insert(all.removed.begin(), all.removed.end());
  changed.insert(moved.begin(), moved.end());
  drop(all.unchanged, changed);
  for (std::vector<std::string>* names : {&all.set_up_again, &all.unchanged}) {
    std::set<std::string> seen;
    names->erase(std::remove_if(names->begin(), names->end(),
                                [&](const std::string& name) { return !seen.insert(name).second; }),
                 names->end());
  }
  return all;
}

}  // namespace

BusSet::~BusSet() {
  stop();
  join();
}

void BusSet::add(std::unique_ptr<BusWorker> bus) { buses_.push_back(std::move(bus)); }

void BusSet::start() {
  for (auto& bus : buses_) bus->start();
}

void BusSet::stop() {
  for (auto& bus : buses_) bus->stop();
}

void BusSet::join() {
  for (auto& bus : buses_) bus->join();
}

std::shared_ptr<base::CommandTicket> BusSet::submit(const std::string& unit,
                                                    const base::Command& command) {
  for (auto& bus : buses_)
    if (auto ticket = bus->submit(unit, command)) return ticket;
  return nullptr;
}

std::optional<BusReloadResult> BusSet::reload(std::vector<BusReload> changes,
                                              std::chrono::milliseconds timeout,
                                              std::chrono::milliseconds move_wait) {
  const auto deadline = Clock::now() + timeout;
  // First each bus without the units that come from another bus.
  std::vector<BusReload> first = changes;
  std::vector<bool> takes_in(buses_.size(), false);
  for (size_t i = 0; i < buses_.size(); ++i) {
    std::vector<config::UnitConfig>& units = first[i].units;
    const auto from_elsewhere = [&](const config::UnitConfig& unit) {
      for (size_t other = 0; other < buses_.size(); ++other)
        if (other != i && buses_[other]->has_unit(unit.name)) return true;
      return false;
    };
    const auto moving = std::remove_if(units.begin(), units.end(), from_elsewhere);
    takes_in[i] = moving != units.end();
    units.erase(moving, units.end());
  }
  Pending pending;
  for (size_t i = 0; i < buses_.size(); ++i)
    pending.push_back(buses_[i]->queue_reload(std::move(first[i])));
  if (std::none_of(takes_in.begin(), takes_in.end(), [](bool in) { return in; })) {
    const auto results = wait_for(pending, deadline);
    return results ? std::optional<BusReloadResult>(merged(*results)) : std::nullopt;
  }
  std::optional<std::vector<BusReloadResult>> results =
      wait_for(pending, std::max(deadline, Clock::now() + move_wait));
  if (!results)
    base::log::warning("reload: a bus has not yet let go of a unit that moves to another bus");
  // Then the units that moved, on their new buses, with what they carry.
  std::map<std::string, state::UnitState> departed;
  for (const BusReloadResult& result : results.value_or(std::vector<BusReloadResult>{}))
    departed.insert(result.departed.begin(), result.departed.end());
  Pending second;
  for (size_t i = 0; i < buses_.size(); ++i) {
    if (!takes_in[i]) continue;
    changes[i].arriving = departed;
    second.push_back(buses_[i]->queue_reload(std::move(changes[i])));
  }
  const auto after = wait_for(second, deadline);
  if (!results || !after) return std::nullopt;
  results->insert(results->end(), after->begin(), after->end());
  return merged(*results);
}

bool BusSet::all_ended() const {
  return std::all_of(buses_.begin(), buses_.end(), [](const auto& bus) { return bus->ended(); });
}

std::vector<std::string> BusSet::errors() const {
  std::vector<std::string> errors;
  for (const auto& bus : buses_)
    if (const auto error = bus->error())
      errors.push_back("serial port " + bus->port() + ": " + *error);
  return errors;
}

}  // namespace gw::bus
