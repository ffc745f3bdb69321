#include "gateway/gateway.h"

#include <ostream>
#include <stdexcept>

#include "standin/serial_layer.h"

namespace gw {
namespace {

// What the device's value lookup says, e.g. that its data is not ready.
std::string lookup_answer(const SPModbus& device) {
  try {
    return "value " + std::to_string(device.Get_Value(0, ""));
  } catch (const std::exception& answer) {
    return answer.what();
  }
}

}  // namespace

Gateway::Gateway(const Config& config, std::ostream& out)
    : out_(out),
      plugin_(config.plugin),
      link_(config.bus),
      history_(config.history),
      sink_(history_, names_, failure_),
      events_(history_, out, failure_),
      alarms_(names_, events_) {
  standin::install({&link_, &sink_, &alarms_, &control_});
  try {
    for (const UnitConfig& unit_config : config.units) {
      units_.push_back(Unit{unit_config, plugin_.create_device()});
      set_up(units_.back());
    }
    for (Unit& unit : units_) reload(unit);
  } catch (...) {
    units_.clear();
    standin::install({});
    throw;
  }
}

Gateway::~Gateway() {
  units_.clear();
  standin::install({});
}

void Gateway::set_up(Unit& unit) {
  SPModbus& device = *unit.device;
  names_.add(device, unit.config.name);
  link_.attach(device, unit.config.slave, unit.config.name);
  device.data_id = unit.config.data_id;
  device.alarm_levels = unit.config.alarm_levels;
  device.alarm_thresholds = unit.config.alarm_thresholds;
  device.ao_signal_ids = unit.config.ao_signal_ids;
  device.Init({});
  device.InitSetting(unit.config.settings);
  for (const std::string& signal_id : history_.raised_alarms(unit.config.name))
    alarms_.restore(unit.config.name, signal_id);
}

// As the host does at start: the newest stored record goes back to the
// device, which completes a round with it.
void Gateway::reload(Unit& unit) {
  const std::optional<std::string> record = history_.newest_record(unit.config.name);
  if (!record) {
    out_ << "reload " << unit.config.name << ": no stored record" << std::endl;
    return;
  }
  const int taken = unit.device->LoadFromCache(*record);
  check_failure();
  out_ << "reload " << unit.config.name << ": " << (taken == 1 ? "record taken" : "record refused")
       << "; lookup: " << lookup_answer(*unit.device) << std::endl;
}

CommandOutcome Gateway::run_command(const std::string& unit_name, const Command& command) {
  Unit& unit = unit_named(unit_name);
  SPModbus& device = *unit.device;
  const ControlRequest request = encode_command(command);
  int out_size = 0;
  const int issued =
      device.DeviceIoControl(request.code, request.text.data(),
                             static_cast<int>(request.text.size()), nullptr, 0, out_size);
  CommandOutcome outcome = CommandOutcome::kRefused;
  if (issued == 0 && standin::outstanding_request(device)) {
    standin::serve_exchange(device);
    check_failure();
    outcome = query_outcome(device);
  }
  out_ << "command " << unit.config.name << ' ' << describe(command) << ": "
       << outcome_text(outcome) << std::endl;
  return outcome;
}

CommandOutcome Gateway::query_outcome(SPModbus& device) {
  int result = 0;
  int out_size = 0;
  device.DeviceIoControl(kResultQueryCode, nullptr, 0, &result, sizeof result, out_size);
  return outcome_of(out_size == static_cast<int>(sizeof result), result);
}

int Gateway::poll_round(bool report) {
  int completed = 0;
  for (Unit& unit : units_) {
    if (!poll(unit)) continue;
    ++completed;
    if (report) print_report(unit);
  }
  return completed;
}

// One poll round of one unit. It completed when the device ended the
// exchange itself (Reset) without a request going unanswered.
bool Gateway::poll(Unit& unit) {
  SPModbus& device = *unit.device;
  const int resets_before = standin::device_log(device).reset_calls;
  device.RefreshStatus();
  const standin::ExchangeOutcome outcome = standin::serve_exchange(device);
  check_failure();
  ++unit.rounds;
  const bool completed = !outcome.failed && standin::device_log(device).reset_calls > resets_before;
  if (completed) ++unit.completed;
  return completed;
}

void Gateway::print_report(Unit& unit) {
  if (report_text_.size() < 16384) report_text_.resize(16384);
  int size = 0;
  int result = unit.device->DeviceIoControl(kReportTextCode, nullptr, 0, report_text_.data(),
                                            static_cast<int>(report_text_.size()), size);
  if (result != 0 && size > static_cast<int>(report_text_.size())) {
    report_text_.resize(static_cast<size_t>(size));
    result = unit.device->DeviceIoControl(kReportTextCode, nullptr, 0, report_text_.data(),
                                          static_cast<int>(report_text_.size()), size);
  }
  if (result != 0 || size <= 0 || size > static_cast<int>(report_text_.size())) {
    out_ << "report " << unit.config.name << " unavailable" << std::endl;
    return;
  }
  // The text is one line; its line feed ends ours.
  std::string_view text(report_text_.data(), static_cast<size_t>(size));
  if (text.back() == '\n') text.remove_suffix(1);
  out_ << "report " << unit.config.name << ' ' << text << std::endl;
}

void Gateway::print_summary() {
  for (Unit& unit : units_) {
    const LineCounters& line = link_.counters(*unit.device);
    out_ << "summary " << unit.config.name << ": rounds " << unit.rounds << " completed "
         << unit.completed << "; requests " << line.requests << " timeouts " << line.timeouts
         << " bad replies " << line.bad_replies << " port errors " << line.port_errors
         << " given up " << line.failed << "; history " << history_.record_count(unit.config.name)
         << " records" << std::endl;
  }
  const PortCounters& port = link_.port_counters();
  out_ << "summary port " << link_.port() << ": lost " << port.lost << " reopened " << port.reopened
       << std::endl;
}

Gateway::Unit& Gateway::unit_named(const std::string& name) {
  for (Unit& unit : units_)
    if (unit.config.name == name) return unit;
  throw std::invalid_argument("no unit named " + name);
}

void Gateway::check_failure() const {
  if (failure_.message()) throw HistoryError(*failure_.message());
}

}  // namespace gw
