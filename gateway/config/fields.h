// Reading one JSON object of a configuration file: its fields handed out by
// name, each with its default and range from the field table, each error
// naming the file and the field ("FILE: FIELD: reason"), and every field
// that nobody asked for refused, so that a misspelt field is never silently
// ignored. A name that is not in the table of the object's sections is a
// fault of the program (std::logic_error), so that the parser cannot take a
// field that the table, and so the manual page, does not have.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/value.h>

#include "gateway/config/config.h"
#include "gateway/config/field_table.h"

namespace gw::config {

class Fields {
 public:
  // `sections`: those of the field table whose fields the object holds
  // ("bus" and "buses[]" for an entry of "buses").
  Fields(const Json::Value& object, std::string path, const std::string& file,
         std::initializer_list<std::string_view> sections)
      : object_(object), path_(std::move(path)), file_(file), sections_(sections) {
    if (!object_.isObject()) fail(path_.empty() ? "(top level)" : path_, "must be an object");
  }

  std::string path_of(std::string_view key) const {
    return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  }

  // The table's row of the field `name` of this object.
  const Field& row(std::string_view name) const;

  // The field, or nullptr when it is missing or null.
  const Json::Value* optional(std::string_view key) {
    row(key);
    asked_.insert(std::string(key));
    const Json::Value* value = object_.find(key.data(), key.data() + key.size());
    return value == nullptr || value->isNull() ? nullptr : value;
  }

  const Json::Value& required(std::string_view key) {
    const Json::Value* value = optional(key);
    if (value == nullptr) fail(path_of(key), "is missing");
    return *value;
  }

  // A whole number in the field's range; its default when absent, or
  // `fallback` for a default that depends on another field.
  int integer(std::string_view key) { return integer(key, static_cast<int>(row(key).number)); }
  int integer(std::string_view key, int fallback) {
    const Json::Value* value = optional(key);
    if (value == nullptr) return fallback;
    return integer_value(*value, path_of(key), row(key));
  }

  // isInt64 holds for a whole number that fits 64 bits, written as an
  // integer or not (1e3); 2^64-1 and 1e19 fail it rather than throw.
  // `field` names it (a member of a table such as "alarm_levels" too).
  int integer_value(const Json::Value& value, const std::string& field, const Field& row) const {
    const auto low = static_cast<Json::Int64>(row.low);
    const auto high = static_cast<Json::Int64>(row.high);
    if (!value.isInt64() || value.asInt64() < low || value.asInt64() > high)
      fail(field,
           "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(value.asInt64());
  }

  // A number in the field's range, fractions allowed.
  double number(std::string_view key);

  // The value of `values` at the index of the field's text among its
  // choices (the table's order); the default's when absent, none when the
  // field has no default.
  template <typename Value, size_t count>
  std::optional<Value> choice(std::string_view key, const std::array<Value, count>& values) {
    const Field& field = row(key);
    if (field.choice_count() != count) throw std::logic_error(field.path() + ": choices differ");
    const Json::Value* value = optional(key);
    if (value == nullptr)
      return field.text.empty() ? std::nullopt
                                : std::optional<Value>(values[field.default_choice()]);
    for (size_t i = 0; i < count; ++i)
      if (value->isString() && value->asString() == field.choices[i]) return values[i];
    std::string names;
    for (size_t i = 0; i < count; ++i)
      names += std::string(i == 0           ? ""
                           : i + 1 == count ? " or "
                                            : ", ") +
               '"' + std::string(field.choices[i]) + '"';
    fail(path_of(key), "must be " + names);
  }

  // A non-empty string; the default when absent ("" for none).
  std::string text(std::string_view key) {
    const std::string fallback(row(key).text);
    const Json::Value* value = optional(key);
    if (value == nullptr) return fallback;
    if (!value->isString() || value->asString().empty())
      fail(path_of(key), "must be a non-empty string");
    return value->asString();
  }

  bool flag(std::string_view key) {
    const bool fallback = row(key).number != 0;
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
  std::vector<std::string_view> sections_;
  std::set<std::string> asked_;
};

// `path` taken from the folder of the configuration file `file` when it is
// relative; "./" before a path that has no folder, so that a plug-in's is
// never searched for.
std::string resolve(const std::string& path, const std::string& file);

}  // namespace gw::config
