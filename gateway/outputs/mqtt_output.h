// MQTT ("mqtt": {...}, see output_config.h): every unit's state, alarms and
// availability, Home Assistant discovery, and, with "commands", set-point
// and on/off commands taken from the broker into the same queue as the
// control socket's (topics: mqtt_messages.h, mqtt_discovery.h).
//
// On its own thread, from the event stream and the state table. What it
// publishes waits in an outbox of its own while the broker is away: the
// retained topics keep only their newest payload (the newest state wins),
// alarm events and command outcomes wait in order in a bounded queue
// ("alarm_queue"; when it is full the oldest gives way, counted and
// logged), and leave it only once the broker has acknowledged them. On
// every (re)connection the retained topics go out again, then the units'
// availability (not retained), then the queue, in order.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gateway/base/command_ticket.h"
#include "gateway/outputs/event_reader.h"
#include "gateway/outputs/mqtt_discovery.h"
#include "gateway/outputs/mqtt_link.h"
#include "gateway/outputs/mqtt_messages.h"
#include "gateway/state/service_api.h"

namespace gw::outputs {

class MqttOutput final : public EventReader {
 public:
  // Throws std::runtime_error when the password file cannot be read.
  MqttOutput(const config::MqttConfig& config, state::ServiceApi& api);
  ~MqttOutput() override;

 private:
  using Clock = std::chrono::steady_clock;

  struct Retained {
    std::string payload;
    int qos = 0;
    bool sent = false;
  };
  struct Queued {
    std::string topic, payload;
    int mid = 0;  // while handed to the broker, not yet acknowledged
  };
  // A unit's availability: not retained, so sent again at every
  // connection and now and then.
  struct Availability {
    std::string payload;
    bool sent = false;
  };
  struct Pending {
    std::shared_ptr<base::CommandTicket> ticket;
    Clock::time_point answer_by;
  };

  void on_event(const state::Event& event) override;
  void on_tick() override;
  void on_end() override;

  void connected();
  void lost();
  void acknowledged(int mid);
  void received(const std::string& topic, const std::string& payload);
  void look_at_table();
  void check_commands();
  void flush();
  void set_retained(const std::string& topic, const std::string& payload, int qos);
  void set_availability(const std::string& unit, const std::string& payload);
  void announce(const state::UnitState& unit);
  void enqueue(const std::string& topic, const std::string& payload);
  void command_outcome(const std::string& unit, const std::string& command,
                       const std::string& outcome, const std::string& detail);

  const config::MqttConfig config_;
  state::ServiceApi& api_;
  mqtt::Topics topics_;
  mqtt::Discovery discovery_;
  std::unique_ptr<mqtt::Link> link_;
  std::map<std::string, Retained> retained_;  // by topic: the newest payload
  std::deque<Queued> queue_;
  long dropped_ = 0;
  bool dropping_ = false;  // the queue is full: the drop is logged once until it drains
  // The units seen, with what their entities announce.
  std::map<std::string, mqtt::UnitEntities> units_;
  std::map<std::string, Availability> availability_;  // by unit
  std::vector<Pending> pending_;
  Clock::time_point next_look_;
  Clock::time_point next_availability_;
};

}  // namespace gw::outputs
