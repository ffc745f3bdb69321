#include "gateway/outputs/alarm_notifier.h"

#include <unistd.h>

#include <cmath>
#include <stdexcept>

#include "gateway/base/iso_time.h"
#include "gateway/base/log.h"
#include "gateway/outputs/program_runner.h"
#include "gateway/outputs/unit_view.h"

namespace gw::outputs {
namespace {

std::chrono::milliseconds milliseconds_of(double seconds) {
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

std::string host_name() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "";
}

}  // namespace

std::vector<std::string> notification_environment(const state::AlarmChanged& change) {
  const state::ActiveAlarm alarm{change.signal_id, change.level, change.title, change.detail, {}};
  return {"NORVANE_UNIT=" + change.unit,
          "NORVANE_SIGNAL_ID=" + change.signal_id,
          "NORVANE_TITLE=" + english_title(alarm),
          std::string("NORVANE_STATE=") + (change.raised ? "raised" : "cleared"),
          "NORVANE_LEVEL=" + std::to_string(change.level),
          "NORVANE_TIME=" + base::iso_time(change.at),
          "NORVANE_DETAIL=" + change.detail,
          "NORVANE_UNIT_TITLE=" + change.title,
          "NORVANE_HOST=" + host_name()};
}

AlarmNotifier::AlarmNotifier(state::EventStream& stream, config::NotifyConfig config)
    : EventReader(stream, 1024, "notify"),
      config_(std::move(config)),
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
  const ProgramRun run = run_program(config_.exec, notification_environment(change),
                                     milliseconds_of(config_.timeout_s), stopping_);
  const std::string title =
      english_title({change.signal_id, change.level, change.title, change.detail, {}});
  const std::string what = "notify " + change.unit + (change.raised ? " raised " : " cleared ") +
                           change.signal_id + " (" + title + "): " + config_.exec.front() + " " +
                           describe(run);
  if (run.started && !run.timed_out && run.exit_status == 0)
    base::log::info(what);
  else
    base::log::warning(what);
}

}  // namespace gw::outputs
