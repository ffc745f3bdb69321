#include "gateway/outputs/mqtt_output.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "gateway/base/log.h"
#include "gateway/base/unit_ids.h"

namespace gw::outputs {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kTick{50};  // acknowledgements, commands and pings wait at most this
constexpr milliseconds kLookEvery{1000};
constexpr milliseconds kGoodbyePatience{3000};
// How often the units' availability goes out again: within this a client
// that subscribes later (Home Assistant started again) learns it.
constexpr milliseconds kAvailabilityEvery{15000};
constexpr size_t kInFlight = 32;  // queued messages handed over before their acknowledgements

std::string host_name() {
  char name[256] = {};
  return ::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "gateway";
}

}  // namespace

MqttOutput::MqttOutput(const config::MqttConfig& config, state::ServiceApi& api)
    : EventReader(api.events(), 4096, "mqtt", kTick), config_(config), api_(api) {
  const std::string host = host_name();
  topics_.base = config_.base_topic.empty() ? "norvane/" + host : config_.base_topic;
  const std::string client_id = config_.client_id.empty() ? "norvane-" + host : config_.client_id;
  discovery_ = {config_.discovery_prefix, base::id_part(client_id), api_.info().version,
                config_.commands};
  mqtt::Link::Handlers handlers;
  handlers.connected = [this] { connected(); };
  handlers.lost = [this] { lost(); };
  handlers.acknowledged = [this](int mid) { acknowledged(mid); };
  handlers.message = [this](const std::string& topic, const std::string& payload) {
    received(topic, payload);
  };
  link_ = std::make_unique<mqtt::Link>(config_, client_id, topics_.status(), std::move(handlers));
  set_retained(topics_.status(), "online", 1);
  if (config_.discovery)
    for (const auto& announcement : mqtt::gateway_announcements(discovery_, topics_))
      set_retained(announcement.topic, announcement.payload, 1);
}

MqttOutput::~MqttOutput() {
  stop();
  join();
}

void MqttOutput::on_event(const state::Event& event) {
  if (const auto* round = std::get_if<state::RoundCompleted>(&event)) {
    if (!mqtt::topic_safe(round->unit)) return;
    set_retained(topics_.unit(round->unit, "state"), mqtt::state_payload(*round), config_.qos);
    set_retained(topics_.unit(round->unit, "alarms"), mqtt::alarms_payload(round->alarms),
                 config_.qos);
    set_availability(round->unit, "online");
  } else if (const auto* alarm = std::get_if<state::AlarmChanged>(&event)) {
    if (mqtt::topic_safe(alarm->unit))
      enqueue(topics_.unit(alarm->unit, "alarm"), mqtt::alarm_event_payload(*alarm));
  } else if (const auto* command = std::get_if<state::CommandFinished>(&event)) {
    if (mqtt::topic_safe(command->unit))
      enqueue(
          topics_.unit(command->unit, "command"),
          mqtt::command_payload(command->unit, command->at, command->command,
                                base::outcome_text(command->outcome),
                                command->outcome == base::CommandOutcome::kDone, command->detail));
  }
  flush();
}

void MqttOutput::on_tick() {
  link_->service();
  if (Clock::now() >= next_look_) {
    look_at_table();
    next_look_ = Clock::now() + kLookEvery;
  }
  check_commands();
  if (Clock::now() >= next_availability_) {
    for (auto& [unit, availability] : availability_) availability.sent = false;
    next_availability_ = Clock::now() + kAvailabilityEvery;
  }
  flush();
}

void MqttOutput::on_end() {
  look_at_table();
  for (const auto& [unit, entities] : units_) set_availability(unit, "offline");
  set_retained(topics_.status(), "offline", 1);
  // The last state, the events still queued and the goodbye, if the broker
  // is there to take them.
  const auto deadline = Clock::now() + kGoodbyePatience;
  do {
    link_->service();
    flush();
    if (link_->connected() && queue_.empty() &&
        std::all_of(retained_.begin(), retained_.end(),
                    [](const auto& r) { return r.second.sent; }) &&
        std::all_of(availability_.begin(), availability_.end(),
                    [](const auto& a) { return a.second.sent; }))
      break;
    std::this_thread::sleep_for(kTick);
  } while (link_->connected() && Clock::now() < deadline);
  link_->close(kGoodbyePatience);
  if (!queue_.empty())
    base::log::warning("mqtt: " + std::to_string(queue_.size()) +
                       " alarm events and command outcomes not delivered at the stop");
}

void MqttOutput::connected() {
  for (auto& [topic, retained] : retained_) retained.sent = false;
  for (auto& [unit, availability] : availability_) availability.sent = false;
  for (Queued& queued : queue_) queued.mid = 0;
  // The gateway's "online" first, before what it says about its units.
  Retained& status = retained_[topics_.status()];
  status.sent = link_->publish(topics_.status(), status.payload, status.qos, true).has_value();
  if (config_.commands) link_->subscribe(topics_.commands(), 1);
  flush();
}

void MqttOutput::lost() {
  for (auto& [topic, retained] : retained_) retained.sent = false;
  for (auto& [unit, availability] : availability_) availability.sent = false;
  for (Queued& queued : queue_) queued.mid = 0;
}

void MqttOutput::acknowledged(int mid) {
  const auto found = std::find_if(queue_.begin(), queue_.end(),
                                  [&](const Queued& queued) { return queued.mid == mid; });
  if (found != queue_.end()) queue_.erase(found);
  if (queue_.empty()) dropping_ = false;
}

void MqttOutput::look_at_table() {
  const state::StateSnapshot snapshot = api_.status();
  const base::SystemTime now = std::chrono::system_clock::now();
  std::set<std::string> present;
  for (const state::UnitState& unit : snapshot.units) {
    if (!mqtt::topic_safe(unit.name)) continue;
    present.insert(unit.name);
    announce(unit);
    const UnitView view = view_of(unit, snapshot, now);
    set_availability(unit.name, view.fresh ? "online" : "offline");
    set_retained(topics_.unit(unit.name, "alarms"), mqtt::alarms_payload(unit.alarms), config_.qos);
    // A fresh unit's state comes with its rounds.
    if (!view.fresh)
      set_retained(topics_.unit(unit.name, "state"), mqtt::state_payload(view), config_.qos);
  }
  for (auto gone = units_.begin(); gone != units_.end();) {
    const std::string& name = gone->first;
    if (present.count(name) != 0) {
      ++gone;
      continue;
    }
    // A unit taken out by a reload: its entities and retained topics go.
    if (config_.discovery)
      for (const auto& withdrawal : mqtt::unit_withdrawals(discovery_, name))
        set_retained(withdrawal.topic, "", 1);
    for (const char* leaf : {"state", "alarms", "availability"})
      set_retained(topics_.unit(name, leaf), "", config_.qos);
    availability_.erase(name);
    gone = units_.erase(gone);
  }
}

// Its entities when it is first seen, and again when a reload changed what
// they say (its title, limits or alarm levels).
void MqttOutput::announce(const state::UnitState& unit) {
  const mqtt::UnitEntities entities{unit.name, unit.title, unit.setpoint_limits, unit.alarm_levels};
  const auto seen = units_.find(unit.name);
  if (seen == units_.end())  // an "online" that an earlier release retained goes
    set_retained(topics_.unit(unit.name, "availability"), "", config_.qos);
  if (config_.discovery && (seen == units_.end() || seen->second != entities))
    for (const auto& announcement : mqtt::unit_announcements(discovery_, topics_, entities))
      set_retained(announcement.topic, announcement.payload, 1);
  units_[unit.name] = entities;
}

void MqttOutput::set_availability(const std::string& unit, const std::string& payload) {
  Availability& availability = availability_[unit];
  if (availability.payload == payload) return;
  availability = {payload, false};
}

void MqttOutput::set_retained(const std::string& topic, const std::string& payload, int qos) {
  const auto known = retained_.find(topic);
  if (known != retained_.end() && known->second.payload == payload) return;
  retained_[topic] = {payload, qos, false};
}

void MqttOutput::enqueue(const std::string& topic, const std::string& payload) {
  if (queue_.size() >= static_cast<size_t>(config_.alarm_queue)) {
    // The oldest that the broker does not hold yet gives way.
    const auto oldest = std::find_if(queue_.begin(), queue_.end(),
                                     [](const Queued& queued) { return queued.mid == 0; });
    if (oldest != queue_.end()) queue_.erase(oldest);
    ++dropped_;
    if (!dropping_)
      base::log::warning("mqtt: " + std::to_string(config_.alarm_queue) +
                         " alarm events wait for the broker: the oldest give way (" +
                         std::to_string(dropped_) + " lost so far)");
    dropping_ = true;
  }
  queue_.push_back({topic, payload, 0});
}

void MqttOutput::flush() {
  if (!link_->connected()) return;
  for (auto& [topic, retained] : retained_) {
    if (retained.sent) continue;
    if (!link_->publish(topic, retained.payload, retained.qos, true)) return;
    retained.sent = true;
  }
  for (auto& [unit, availability] : availability_) {
    if (availability.sent) continue;
    if (!link_->publish(topics_.unit(unit, "availability"), availability.payload, config_.qos,
                        false))
      return;
    availability.sent = true;
  }
  // In the queue's order: a message is handed over only after every one
  // before it.
  const int qos = std::max(config_.qos, 1);
  size_t in_flight = std::count_if(queue_.begin(), queue_.end(),
                                   [](const Queued& queued) { return queued.mid != 0; });
  for (Queued& queued : queue_) {
    if (queued.mid != 0) continue;
    if (in_flight >= kInFlight) return;
    const std::optional<int> mid = link_->publish(queued.topic, queued.payload, qos, false);
    if (!mid) return;
    queued.mid = *mid;
    ++in_flight;
  }
}

void MqttOutput::received(const std::string& topic, const std::string& payload) {
  const std::optional<mqtt::ReceivedCommand> received =
      mqtt::parse_command(topics_, topic, payload);
  if (!received || !mqtt::topic_safe(received->unit)) return;
  if (!received->command) return command_outcome(received->unit, topic, "refused", received->error);
  base::log::notice("mqtt: command for " + received->unit + ": " + describe(*received->command));
  const std::shared_ptr<base::CommandTicket> ticket =
      api_.command(received->unit, *received->command);
  if (!ticket)
    return command_outcome(received->unit, describe(*received->command), "refused",
                           "no unit named " + received->unit);
  pending_.push_back({ticket, Clock::now() + api_.command_wait()});
}

// Commands carried out show on the event stream; here only those that the
// bus never carried out.
void MqttOutput::check_commands() {
  for (auto pending = pending_.begin(); pending != pending_.end();) {
    base::CommandTicket& ticket = *pending->ticket;
    std::optional<base::CommandOutcome> outcome = ticket.outcome();
    std::string detail;
    if (!outcome && Clock::now() >= pending->answer_by) {
      const base::CommandTicket::Answer answer = ticket.wait(milliseconds(0));
      if (answer.in_progress) {  // being carried out: its outcome comes as an event
        pending = pending_.erase(pending);
        continue;
      }
      outcome = answer.outcome;
      detail = "not carried out in time; withdrawn";
    }
    if (!outcome) {
      ++pending;
      continue;
    }
    if (!base::carried_out(*outcome))
      command_outcome(ticket.unit(), describe(ticket.command()), base::outcome_text(*outcome),
                      detail);
    pending = pending_.erase(pending);
  }
}

void MqttOutput::command_outcome(const std::string& unit, const std::string& command,
                                 const std::string& outcome, const std::string& detail) {
  enqueue(topics_.unit(unit, "command"),
          mqtt::command_payload(unit, std::chrono::system_clock::now(), command, outcome, false,
                                detail));
  flush();
}

}  // namespace gw::outputs
