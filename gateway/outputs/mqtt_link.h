// The gateway's connection to its MQTT broker (libmosquitto), driven from
// one thread: it connects, keeps the connection alive, notices its loss and
// connects again with back-off (1 s, doubling up to 60 s, a fifth of it
// random, so that a fleet of gateways does not come back all at once).
// Each connection is a new client: nothing of a lost connection is sent
// again behind the caller's back, so the caller's own queue decides what
// goes out and in which order. The last will is BASE/status "offline".
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "gateway/config/output_config.h"

struct mosquitto;
struct mosquitto_message;

namespace gw::outputs::mqtt {

class Link {
 public:
  struct Handlers {
    std::function<void()> connected;            // the broker accepted the connection
    std::function<void()> lost;                 // a connection that was up is gone
    std::function<void(int mid)> acknowledged;  // a message of QoS 1 or 2 reached the broker
    std::function<void(const std::string& topic, const std::string& payload)> message;
  };

  // Throws std::runtime_error, naming the field and the file, when the
  // password file or a TLS file (ca_file, or the ca_path folder without
  // it, cert_file, key_file) cannot be read.
  Link(const config::MqttConfig& config, std::string client_id, std::string will_topic,
       Handlers handlers);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Connects when it is time, reads and writes what waits, notices a loss.
  // Never waits.
  void service();
  bool connected() const { return connected_; }
  // The message handed to the client: its id (QoS > 0; 0 for QoS 0);
  // nothing when there is no connection to hand it to.
  std::optional<int> publish(const std::string& topic, const std::string& payload, int qos,
                             bool retain);
  bool subscribe(const std::string& filter, int qos);
  // Writes what waits, for `patience` at most, then disconnects cleanly
  // (the broker then keeps the will to itself).
  void close(std::chrono::milliseconds patience);
  // "host:port"
  const std::string& broker() const { return broker_; }

 private:
  using Clock = std::chrono::steady_clock;

  void connect();
  void drop(const std::string& why);
  static void on_connect(mosquitto* client, void* self, int code);
  static void on_publish(mosquitto* client, void* self, int mid);
  static void on_message(mosquitto* client, void* self, const mosquitto_message* message);

  const config::MqttConfig config_;
  const std::string client_id_, will_topic_;
  std::string password_;
  Handlers handlers_;
  std::string broker_;
  mosquitto* client_ = nullptr;
  bool connected_ = false;
  bool failing_ = false;  // the last try failed: further failures are logged quietly
  std::string refusal_;   // the broker's answer to a connection it refused
  Clock::time_point next_try_, answer_by_;
  std::chrono::milliseconds backoff_;
  std::minstd_rand random_;
};

}  // namespace gw::outputs::mqtt
