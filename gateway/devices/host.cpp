#include "gateway/devices/host.h"

#include "gateway/devices/state_acknowledgement.h"

#include "gateway/base/log.h"
#include "gateway/readings/alarm_table.h"

namespace gw::devices {
namespace {

// How long a unit's set-up waits for the history to answer: a locked file
// must not hold polling up.
constexpr std::chrono::milliseconds kHistoryReadWait{2000};

}  // namespace

void BusLinks::attach(const VDeviceInterface& device, line::RtuLink& link) {
  std::lock_guard<std::mutex> lock(mutex_);
  links_[&device] = &link;
}

void BusLinks::detach(const VDeviceInterface& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  links_.erase(&device);
}

int BusLinks::transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) {
  line::RtuLink* link = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = links_.find(&device);
    if (found != links_.end()) link = found->second;
  }
  return link == nullptr ? -1 : transact_acknowledged(*link, device, request, words);
}

Host::Host(const Plugin& plugin, history::HistoryWriter& history, state::StateTable& table,
           state::EventStream& stream)
    : plugin_(plugin),
      history_(history),
      sink_(history, names_, limits_),
      events_(history, table, stream),
      alarms_(names_, limits_, events_) {
  standin::install({&links_, &sink_, &alarms_, &control_});
}

Host::~Host() { standin::install({}); }

Host::AddedUnit Host::add_unit(const config::UnitConfig& config, line::RtuLink& link,
                               const line::LineCounters& counters) {
  AddedUnit added{std::make_unique<UnitDevice>(config, plugin_.create_device()), {}};
  UnitDevice& unit = *added.unit;
  names_.add(unit.device(), config.name);
  limits_.add(unit.device(), config);
  link.attach(unit.device(), config.slave, config.name, counters);
  links_.attach(unit.device(), link);
  try {
    unit.set_up();
    const auto raised = history_.raised_alarms(config.name, kHistoryReadWait);
    if (!raised)
      base::log::warning("unit " + config.name +
                         ": the history cannot be read: its alarms start as not raised");
    for (const history::AlarmEvent& alarm : raised.value_or(std::vector<history::AlarmEvent>{})) {
      if (alarm.signal_id != readings::kCommLostSignalId)
        alarms_.restore(config.name, alarm.signal_id);
      added.alarms.push_back(active_alarm(alarm));
    }
  } catch (...) {
    remove_unit(unit, link);
    throw;
  }
  return added;
}

line::LineCounters Host::remove_unit(UnitDevice& unit, line::RtuLink& link) {
  links_.detach(unit.device());
  sink_.forget(unit.device());
  limits_.remove(unit.device());
  names_.remove(unit.device());
  return link.detach(unit.device());
}

void Host::reload(UnitDevice& unit) {
  const auto stored = history_.newest_record(unit.name(), unit.config().data_id, kHistoryReadWait);
  if (!stored || !*stored) {
    base::log::record(
        base::log::Level::kInfo,
        "reload " + unit.name() + ": " + (stored ? "no stored record" : "history unavailable"));
    return;
  }
  sink_.set_reloading(unit.device(), true);
  const bool taken = unit.load(**stored);
  sink_.set_reloading(unit.device(), false);
  base::log::record(base::log::Level::kInfo, "reload " + unit.name() + ": " +
                                                 (taken ? "record taken" : "record refused") +
                                                 "; lookup: " + unit.lookup_answer());
}

}  // namespace gw::devices
