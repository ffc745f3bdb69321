#include "gateway/outputs/mqtt_link.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "gateway/base/log.h"

namespace gw::outputs::mqtt {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kLongestBackoff{60000};
constexpr milliseconds kAnswerWithin{10000};

// A password that others can read is no secret: named at start, and used
// all the same. Others are every user but the gateway's own, and every
// group but its own (root:norvane 0640 is how the service user reads it).
void warn_if_readable_by_others(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;  // the read below says why
  const bool by_group = (status.st_mode & S_IRGRP) != 0 && status.st_gid != ::getegid();
  if ((status.st_mode & S_IROTH) == 0 && !by_group) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  base::log::warning("mqtt.password_file " + path + ": readable by others (mode " + mode +
                     "); make it readable by the gateway's user or group only (chmod 600, or "
                     "640 with the gateway's group)");
}

std::string read_password(const std::string& path) {
  if (path.empty()) return {};
  warn_if_readable_by_others(path);
  std::ifstream in(path);
  std::string password;
  if (!in || !std::getline(in, password))
    throw std::runtime_error("mqtt.password_file " + path + ": cannot be read");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return password;
}

// A file that TLS needs and cannot read: named now, since the library
// says only "Invalid function arguments provided" at every try.
// `folder`: the field names a folder (ca_path), not a file.
void check_readable(const std::string& field, const std::string& path, bool folder = false) {
  if (path.empty()) return;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  std::string why = fd < 0 ? std::strerror(errno) : std::string();
  struct stat status {};
  if (fd >= 0 && !folder && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)))
    why = "not a file";
  if (fd >= 0) ::close(fd);
  if (!why.empty())
    throw std::runtime_error("mqtt.tls." + field + " " + path + ": cannot be read: " + why);
}

const config::MqttConfig& with_tls_files_checked(const config::MqttConfig& config) {
  if (!config.tls) return config;
  const config::MqttTls& tls = *config.tls;
  check_readable("ca_file", tls.ca_file);
  if (tls.ca_file.empty()) check_readable("ca_path", tls.ca_path, true);
  check_readable("cert_file", tls.cert_file);
  check_readable("key_file", tls.key_file);
  return config;
}

std::string reason(int code) {
  return code == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(code);
}

}  // namespace

Link::Link(const config::MqttConfig& config, std::string client_id, std::string will_topic,
           Handlers handlers)
    : config_(with_tls_files_checked(config)),
      client_id_(std::move(client_id)),
      will_topic_(std::move(will_topic)),
      password_(read_password(config.password_file)),
      handlers_(std::move(handlers)),
      broker_(config.host + ":" + std::to_string(config.port)),
      next_try_(Clock::now()),
      backoff_(kFirstBackoff),
      random_(std::random_device{}()) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
}

Link::~Link() {
  if (client_ != nullptr) mosquitto_destroy(client_);
}

void Link::connect() {
  client_ = mosquitto_new(client_id_.c_str(), true, this);
  if (client_ == nullptr) return drop("cannot make a client: " + std::string(std::strerror(errno)));
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_will_set(client_, will_topic_.c_str(), 7, "offline", 1, true);
  if (!config_.username.empty())
    mosquitto_username_pw_set(client_, config_.username.c_str(),
                              config_.password_file.empty() ? nullptr : password_.c_str());
  if (config_.tls) {
    const config::MqttTls& tls = *config_.tls;
    auto or_null = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    const int code = mosquitto_tls_set(client_, or_null(tls.ca_file),
                                       tls.ca_file.empty() ? or_null(tls.ca_path) : nullptr,
                                       or_null(tls.cert_file), or_null(tls.key_file), nullptr);
    if (code != MOSQ_ERR_SUCCESS) return drop("TLS: " + reason(code));
  }
  mosquitto_connect_callback_set(client_, &Link::on_connect);
  mosquitto_publish_callback_set(client_, &Link::on_publish);
  mosquitto_message_callback_set(client_, &Link::on_message);
  const int code =
      mosquitto_connect_async(client_, config_.host.c_str(), config_.port, config_.keepalive_s);
  if (code != MOSQ_ERR_SUCCESS) return drop(reason(code));
  answer_by_ = Clock::now() + kAnswerWithin;
}

void Link::drop(const std::string& why) {
  if (client_ != nullptr) mosquitto_destroy(client_);
  client_ = nullptr;
  const bool was_connected = connected_;
  connected_ = false;
  // A fifth of the wait is random.
  const auto jitter = std::uniform_int_distribution<long>(0, backoff_.count() / 5)(random_);
  const milliseconds wait = backoff_ - milliseconds(backoff_.count() / 10) + milliseconds(jitter);
  next_try_ = Clock::now() + wait;
  backoff_ = std::min(backoff_ * 2, kLongestBackoff);
  const std::string text = std::string("mqtt: ") +
                           (was_connected ? "connection to " : "cannot reach ") + broker_ +
                           (was_connected ? " lost: " : ": ") + why + "; trying again in " +
                           std::to_string((wait.count() + 500) / 1000) + " s";
  if (failing_ && !was_connected)
    base::log::debug(text);
  else
    base::log::warning(text);
  failing_ = true;
  if (was_connected && handlers_.lost) handlers_.lost();
}

void Link::service() {
  if (client_ == nullptr) {
    if (Clock::now() >= next_try_) connect();
    return;
  }
  const int code = mosquitto_loop(client_, 0, 1);
  if (!refusal_.empty()) return drop(std::exchange(refusal_, std::string()));
  if (code != MOSQ_ERR_SUCCESS) return drop(reason(code));
  if (!connected_ && Clock::now() >= answer_by_) drop("no answer within 10 s");
}

void Link::on_connect(mosquitto*, void* self, int code) {
  auto& link = *static_cast<Link*>(self);
  if (code != 0) {
    // The client is dropped once the loop has returned.
    link.refusal_ = std::string("refused: ") + mosquitto_connack_string(code);
    return;
  }
  link.connected_ = true;
  link.failing_ = false;
  link.backoff_ = kFirstBackoff;
  base::log::notice("mqtt: connected to " + link.broker_ + " as " + link.client_id_);
  if (link.handlers_.connected) link.handlers_.connected();
}

void Link::on_publish(mosquitto*, void* self, int mid) {
  auto& link = *static_cast<Link*>(self);
  if (link.handlers_.acknowledged) link.handlers_.acknowledged(mid);
}

void Link::on_message(mosquitto*, void* self, const mosquitto_message* message) {
  auto& link = *static_cast<Link*>(self);
  if (!link.handlers_.message || message->topic == nullptr) return;
  const auto* bytes = static_cast<const char*>(message->payload);
  link.handlers_.message(message->topic,
                         std::string(bytes == nullptr ? "" : bytes,
                                     static_cast<size_t>(std::max(message->payloadlen, 0))));
}

std::optional<int> Link::publish(const std::string& topic, const std::string& payload, int qos,
                                 bool retain) {
  if (!connected_) return std::nullopt;
  int mid = 0;
  const int code = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
  if (code != MOSQ_ERR_SUCCESS) {
    drop("publish: " + reason(code));
    return std::nullopt;
  }
  return qos > 0 ? mid : 0;
}

bool Link::subscribe(const std::string& filter, int qos) {
  return connected_ &&
         mosquitto_subscribe(client_, nullptr, filter.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void Link::close(milliseconds patience) {
  if (client_ == nullptr) return;
  const auto deadline = Clock::now() + patience;
  while (connected_ && mosquitto_want_write(client_) && Clock::now() < deadline)
    if (mosquitto_loop(client_, 20, 1) != MOSQ_ERR_SUCCESS) break;
  if (connected_) {
    mosquitto_disconnect(client_);
    mosquitto_loop(client_, 20, 1);
  }
  mosquitto_destroy(client_);
  client_ = nullptr;
  connected_ = false;
}

}  // namespace gw::outputs::mqtt
