#include "gateway/outputs/alarm_notifier.h"

#include <unistd.h>

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "gateway/base/iso_time.h"
#include "gateway/base/log.h"
#include "gateway/outputs/program_runner.h"
#include "gateway/outputs/unit_view.h"
#include "gateway/readings/alarm_table.h"
#include "gateway/readings/render.h"

namespace gw::outputs {
namespace {

// Of a run's output, this many lines at most go to the log (and no more
// than program_runner's kOutputKeptBytes), so that short lines do not
// multiply the log's share by their prefixes.
constexpr int kOutputLines = 64;

std::chrono::milliseconds milliseconds_of(double seconds) {
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

std::string host_name() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// A line of a program's output as a log line: control characters (a
// terminal's escapes among them) become '?'.
std::string printable(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  for (char& byte : line)
    if ((static_cast<unsigned char>(byte) < 0x20 && byte != '\t') || byte == 0x7f) byte = '?';
  return line;
}

// Logs a run's output, a log line for each of its first kOutputLines
// lines that hold something; the bytes not logged.
long long log_output(base::log::Level level, const std::string& output) {
  std::istringstream lines(output);
  int logged = 0;
  long long left_out = 0;
  for (std::string line; std::getline(lines, line);) {
    if (logged == kOutputLines) {
      left_out += static_cast<long long>(line.size()) + (lines.eof() ? 0 : 1);  // its line feed
      continue;
    }
    line = printable(line);
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    base::log::write(level, "notify output: " + line);
    ++logged;
  }
  return left_out;
}

}  // namespace

namespace {

state::ActiveAlarm alarm_of(const state::AlarmChanged& change) {
  return {change.signal_id, change.level, change.title, change.detail, {},
          change.value,     change.limit};
}

std::string decimal_or_empty(const std::optional<double>& number) {
  return number ? readings::decimal_text(*number) : "";
}

// The unit of measure of a limit alarm's reading and limit: the readings
// table's, for the reading that the alarm table names; "" for other alarms.
std::string value_unit(const state::AlarmChanged& change) {
  const readings::AlarmRow* alarm = readings::alarm_row(change.signal_id);
  if (alarm == nullptr || alarm->unit_limit == nullptr) return "";
  const readings::ReadingRow* reading = readings::reading_row(alarm->reading);
  return reading != nullptr ? readings::unit_symbol(reading->unit) : "";
}

}  // namespace

NotificationContext notification_context(const state::StateSnapshot& snapshot,
                                         const std::string& unit, const std::string& page_url,
                                         const std::string& host) {
  NotificationContext context;
  context.page_url = page_url;
  context.host = host;
  for (const state::UnitState& row : snapshot.units) {
    if (row.name != unit) continue;
    context.unit_label = row.title;
    context.bus = row.port;
    context.slave = std::to_string(row.slave);
    context.active_alarms = std::to_string(row.alarms.size());
  }
  return context;
}

std::string page_url_of(const std::string& address, const std::string& host) {
  const size_t colon = address.rfind(':');
  const std::string ip = colon == std::string::npos ? address : address.substr(0, colon);
  const bool every_interface = ip == "0.0.0.0" || ip == "[::]" || ip.empty();
  return "http://" +
         (every_interface && !host.empty() ? host + address.substr(ip.size()) : address) + "/";
}

std::vector<std::string> notification_environment(const state::AlarmChanged& change,
                                                  const NotificationContext& context) {
  return {"NORVANE_UNIT=" + change.unit,
          "NORVANE_UNIT_LABEL=" + context.unit_label,
          "NORVANE_SIGNAL_ID=" + change.signal_id,
          "NORVANE_TITLE=" + english_title(alarm_of(change)),
          std::string("NORVANE_STATE=") + (change.raised ? "raised" : "cleared"),
          "NORVANE_LEVEL=" + std::to_string(change.level),
          "NORVANE_LEVEL_NAME=" + readings::level_name(change.level),
          "NORVANE_VALUE=" + decimal_or_empty(change.value),
          "NORVANE_LIMIT=" + decimal_or_empty(change.limit),
          "NORVANE_VALUE_UNIT=" + value_unit(change),
          "NORVANE_TIME=" + base::iso_time(change.at),
          "NORVANE_DETAIL=" + change.detail,
          "NORVANE_UNIT_TITLE=" + change.title,
          "NORVANE_BUS=" + context.bus,
          "NORVANE_SLAVE=" + context.slave,
          "NORVANE_ACTIVE_ALARMS=" + context.active_alarms,
          "NORVANE_PAGE=" + context.page_url,
          "NORVANE_HOST=" + context.host};
}

AlarmNotifier::AlarmNotifier(state::ServiceApi& api, config::NotifyConfig config,
                             std::optional<std::string> page_address)
    : EventReader(api.events(), 1024, "notify"),
      api_(api),
      config_(std::move(config)),
      page_url_(page_address ? page_url_of(*page_address, host_name()) : ""),
      hold_back_(milliseconds_of(config_.min_duration_s)) {
  if (::access(config_.exec.front().c_str(), X_OK) != 0)
    throw std::runtime_error("notify.exec: " + config_.exec.front() +
                             " is not a program that the gateway may run");
}

AlarmNotifier::~AlarmNotifier() {
  stopping();
  stop();
  join();
}

void AlarmNotifier::on_event(const state::Event& event) {
  if (const auto* change = std::get_if<state::AlarmChanged>(&event))
    hold_back_.change(*change, AlarmHoldBack::Clock::now());
  on_tick();  // a change told at once goes at once
}

void AlarmNotifier::on_tick() {
  for (const state::AlarmChanged& change : hold_back_.due(AlarmHoldBack::Clock::now()))
    tell(change);
}

void AlarmNotifier::tell(const state::AlarmChanged& change) {
  if (stopping_) {
    ++not_told_;
    return;
  }
  const NotificationContext context =
      notification_context(api_.status(), change.unit, page_url_, host_name());
  const ProgramRun run = run_program(config_.exec, notification_environment(change, context),
                                     milliseconds_of(config_.timeout_s), stopping_);
  const std::string title = english_title(alarm_of(change));
  std::string what = "notify " + change.unit + (change.raised ? " raised " : " cleared ") +
                     change.signal_id + " (" + title + "): " + config_.exec.front() + " " +
                     describe(run);
  const bool done = run.started && !run.timed_out && !run.cut_short && run.exit_status == 0;
  const base::log::Level level = done ? base::log::Level::kInfo : base::log::Level::kWarning;
  const long long left_out = run.output_dropped + log_output(level, run.output);
  if (left_out > 0)
    what += "; " + std::to_string(left_out) + " bytes of its output not logged (at most " +
            std::to_string(kOutputKeptBytes) + " bytes and " + std::to_string(kOutputLines) +
            " lines a run)";
  base::log::write(level, what);
}

void AlarmNotifier::on_end() {
  if (not_told_ > 0)
    base::log::warning("notify: " + std::to_string(not_told_) +
                       " alarm changes not told: the gateway stops (the history holds them)");
}

}  // namespace gw::outputs
