// Reading one JSON object of a configuration file: its fields handed out by
// name, each error naming the file and the field ("FILE: FIELD: reason"),
// and every field that nobody asked for refused, so that a misspelt field
// is never silently ignored.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "gateway/config/config.h"

namespace gw::config {

class Fields {
 public:
  Fields(const Json::Value& object, std::string path, const std::string& file)
      : object_(object), path_(std::move(path)), file_(file) {
    if (!object_.isObject()) fail(path_.empty() ? "(top level)" : path_, "must be an object");
  }

  std::string path_of(const std::string& key) const {
    return path_.empty() ? key : path_ + "." + key;
  }

  // The field, or nullptr when it is missing or null.
  const Json::Value* optional(const std::string& key) {
    asked_.insert(key);
    const Json::Value* value = object_.find(key.data(), key.data() + key.size());
    return value == nullptr || value->isNull() ? nullptr : value;
  }

  const Json::Value& required(const std::string& key) {
    const Json::Value* value = optional(key);
    if (value == nullptr) fail(path_of(key), "is missing");
    return *value;
  }

  int integer(const std::string& key, int low, int high, int fallback) {
    const Json::Value* value = optional(key);
    if (value == nullptr) return fallback;
    return integer_value(*value, path_of(key), low, high);
  }

  // isInt64 holds for a whole number that fits 64 bits, written as an
  // integer or not (1e3); 2^64-1 and 1e19 fail it rather than throw.
  int integer_value(const Json::Value& value, const std::string& field, int low, int high) const {
    if (!value.isInt64() || value.asInt64() < low || value.asInt64() > high)
      fail(field,
           "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(value.asInt64());
  }

  // A number from `low` to `high` (`unit` names it in the error: "seconds").
  double number(const std::string& key, double low, double high, double fallback,
                const std::string& unit);

  // One of the texts of `choices`, by the value it stands for.
  template <typename Value>
  std::optional<Value> choice(const std::string& key,
                              const std::vector<std::pair<const char*, Value>>& choices) {
    const Json::Value* value = optional(key);
    if (value == nullptr) return std::nullopt;
    for (const auto& [text, meaning] : choices)
      if (value->isString() && value->asString() == text) return meaning;
    std::string names;
    for (size_t i = 0; i < choices.size(); ++i)
      names += std::string(i == 0                    ? ""
                           : i + 1 == choices.size() ? " or "
                                                     : ", ") +
               '"' + choices[i].first + '"';
    fail(path_of(key), "must be " + names);
  }

  std::string text(const std::string& key, const std::string& fallback) {
    const Json::Value* value = optional(key);
    if (value == nullptr) return fallback;
    if (!value->isString() || value->asString().empty())
      fail(path_of(key), "must be a non-empty string");
    return value->asString();
  }

  bool flag(const std::string& key, bool fallback) {
    const Json::Value* value = optional(key);
    if (value == nullptr) return fallback;
    if (!value->isBool()) fail(path_of(key), "must be true or false");
    return value->asBool();
  }

  // Every field of the object must have been asked for.
  void reject_unknown() const {
    for (const std::string& key : object_.getMemberNames())
      if (asked_.count(key) == 0) fail(path_of(key), "is not a known field");
  }

  [[noreturn]] void fail(const std::string& field, const std::string& reason) const {
    throw ConfigError(file_ + ": " + field + ": " + reason);
  }

  const std::string& file() const { return file_; }

 private:
  const Json::Value& object_;
  std::string path_;
  const std::string& file_;
  std::set<std::string> asked_;
};

// `path` taken from the folder of the configuration file `file` when it is
// relative; "./" before a path that has no folder, so that a plug-in's is
// never searched for.
std::string resolve(const std::string& path, const std::string& file);

}  // namespace gw::config
