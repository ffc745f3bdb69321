// JSON from outside the gateway (a control request, an MQTT payload, the
// configuration file, a reply that ctl reads) parsed with bounds: never a
// JsonCpp exception, never a recursion deeper than the caller allows,
// never a string that is not UTF-8 (unless the caller checks its strings
// itself). The answer is the value, or one line
// saying what is wrong with the text.
//
// Strict: a member named twice and anything after the value are errors.
// Comments (// and /* */) are allowed, as JsonCpp allows them, and dropped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <json/value.h>

namespace gw::base {

struct JsonLimits {
  size_t largest_bytes;      // a longer text is refused unread
  int deepest_nesting;       // arrays and objects within one another; the outermost is 1
  bool utf8_strings = true;  // every string and member name must be UTF-8
};

struct ParsedJson {
  Json::Value value;  // null unless parsed
  std::string error;  // empty when parsed, else e.g. "nested more than 32 deep"
  bool ok() const { return error.empty(); }
};

ParsedJson parse_json(std::string_view text, const JsonLimits& limits);

}  // namespace gw::base
