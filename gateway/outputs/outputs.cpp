#include "gateway/outputs/outputs.h"

#include "gateway/base/log.h"
#include "gateway/outputs/alarm_notifier.h"
#include "gateway/outputs/http_endpoint.h"
#include "gateway/outputs/jsonl_output.h"
#include "gateway/outputs/mqtt_output.h"

namespace gw::outputs {

Outputs::Outputs(const config::Config& config, bool jsonl_stdout, state::ServiceApi& api) {
  state::EventStream& stream = api.events();
  if (jsonl_stdout) jsonl_stdout_ = std::make_unique<JsonLinesOutput>(stream, "");
  if (config.outputs.jsonl)
    jsonl_file_ = std::make_unique<JsonLinesOutput>(stream, config.outputs.jsonl->path);
  if (config.outputs.http)
    http_ = std::make_unique<HttpEndpoint>(*config.outputs.http, config.history, api);
  if (config.outputs.notify)
    notifier_ = std::make_unique<AlarmNotifier>(api, *config.outputs.notify, http_address());
  if (config.outputs.mqtt) mqtt_ = std::make_unique<MqttOutput>(*config.outputs.mqtt, api);
}

Outputs::~Outputs() = default;

void Outputs::start() {
  for (JsonLinesOutput* jsonl : {jsonl_stdout_.get(), jsonl_file_.get()})
    if (jsonl != nullptr) jsonl->start();
  if (http_) http_->start();
  if (notifier_) notifier_->start();
  if (mqtt_) mqtt_->start();
}

void Outputs::stopping() {
  if (notifier_) notifier_->stopping();
}

void Outputs::finish() {
  if (http_) http_->stop();
  stopping();
  if (notifier_) notifier_->join();
  if (mqtt_) mqtt_->join();
  for (JsonLinesOutput* jsonl : {jsonl_stdout_.get(), jsonl_file_.get()})
    if (jsonl != nullptr) jsonl->join();
}

void Outputs::reopen() {
  if (jsonl_file_) jsonl_file_->reopen();
}

std::optional<std::string> Outputs::http_address() const {
  if (!http_) return std::nullopt;
  return http_->address();
}

}  // namespace gw::outputs
