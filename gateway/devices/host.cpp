#include "gateway/devices/host.h"

#include "gateway/service/log.h"

namespace gw {

void BusLinks::attach(const VDeviceInterface& device, standin::ModbusLink& link) {
  std::lock_guard<std::mutex> lock(mutex_);
  links_[&device] = &link;
}

void BusLinks::detach(const VDeviceInterface& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  links_.erase(&device);
}

int BusLinks::transact(SPModbus& device, const standin::ModbusRequest& request, uint16_t* words) {
  standin::ModbusLink* link = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = links_.find(&device);
    if (found != links_.end()) link = found->second;
  }
  return link == nullptr ? -1 : link->transact(device, request, words);
}

Host::Host(const Plugin& plugin, History& history, StateTable& table, EventStream& stream)
    : plugin_(plugin),
      history_(history),
      sink_(history, names_, failure_),
      events_(history, table, stream, failure_),
      alarms_(names_, events_) {
  standin::install({&links_, &sink_, &alarms_, &control_});
}

Host::~Host() { standin::install({}); }

Host::AddedUnit Host::add_unit(const UnitConfig& config, RtuLink& link,
                               const LineCounters& counters) {
  AddedUnit added{std::make_unique<UnitDevice>(config, plugin_.create_device()), {}};
  UnitDevice& unit = *added.unit;
  names_.add(unit.device(), config.name);
  link.attach(unit.device(), config.slave, config.name, counters);
  links_.attach(unit.device(), link);
  try {
    unit.set_up();
    for (const AlarmEvent& raised : history_.raised_alarms(config.name)) {
      alarms_.restore(config.name, raised.signal_id);
      added.alarms.push_back(active_alarm(raised));
    }
  } catch (...) {
    remove_unit(unit, link);
    throw;
  }
  return added;
}

LineCounters Host::remove_unit(UnitDevice& unit, RtuLink& link) {
  links_.detach(unit.device());
  sink_.forget(unit.device());
  names_.remove(unit.device());
  return link.detach(unit.device());
}

void Host::reload(UnitDevice& unit) {
  const std::optional<std::string> record = history_.newest_record(unit.name());
  if (!record) {
    log::record(log::Level::kInfo, "reload " + unit.name() + ": no stored record");
    return;
  }
  const bool taken = unit.load(*record);
  log::record(log::Level::kInfo, "reload " + unit.name() + ": " +
                                     (taken ? "record taken" : "record refused") +
                                     "; lookup: " + unit.lookup_answer());
}

}  // namespace gw
