#include "gateway/base/json_parse.h"

#include <cctype>
#include <exception>
#include <memory>

#include <json/reader.h>

#include "gateway/base/utf8.h"

namespace gw::base {
namespace {

// The deepest nesting of arrays and objects in `text`, counted outside
// strings and comments, stopping as soon as it passes `deepest`: JsonCpp
// recurses once a level, so the text is measured before it is parsed.
int nesting(std::string_view text, int deepest) {
  int depth = 0, most = 0;
  for (size_t i = 0; i < text.size() && most <= deepest; ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      i = text.find('\n', i);
      if (i == std::string_view::npos) break;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      i = text.find("*/", i + 2);
      if (i == std::string_view::npos) break;
      ++i;
    } else if (c == '[' || c == '{') {
      if (++depth > most) most = depth;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return most;
}

// JsonCpp's first error ("* Line 1, Column 2\n  Syntax error: ...\n") on
// one line: "line 1, column 2: syntax error: ...".
std::string first_error(const std::string& errors) {
  std::string where = errors.substr(0, errors.find('\n'));
  if (where.rfind("* ", 0) == 0) where.erase(0, 2);
  if (!where.empty()) where[0] = static_cast<char>(std::tolower(where[0]));
  const size_t next = errors.find('\n');
  std::string what = next == std::string::npos ? "" : errors.substr(next + 1);
  what = what.substr(0, what.find('\n'));
  const size_t start = what.find_first_not_of(' ');
  what = start == std::string::npos ? "" : what.substr(start);
  const std::string line = what.empty() ? where : where + ": " + what;
  return utf8_excerpt(line, 200);  // JsonCpp may quote the bad bytes
}

// Whether every string and member name in `value` is UTF-8; the depth is
// bounded by the parse.
bool all_utf8(const Json::Value& value) {
  if (value.isString()) {
    const char* begin = nullptr;
    const char* end = nullptr;
    value.getString(&begin, &end);
    return valid_utf8(std::string_view(begin, static_cast<size_t>(end - begin)));
  }
  if (value.isArray()) {
    for (const Json::Value& item : value)
      if (!all_utf8(item)) return false;
  }
  if (value.isObject()) {
    for (auto it = value.begin(); it != value.end(); ++it)
      if (!valid_utf8(it.name()) || !all_utf8(*it)) return false;
  }
  return true;
}

}  // namespace

ParsedJson parse_json(std::string_view text, const JsonLimits& limits) {
  ParsedJson parsed;
  if (text.size() > limits.largest_bytes) {
    parsed.error = "longer than " + std::to_string(limits.largest_bytes) + " bytes";
    return parsed;
  }
  if (nesting(text, limits.deepest_nesting) > limits.deepest_nesting) {
    parsed.error = "nested more than " + std::to_string(limits.deepest_nesting) + " deep";
    return parsed;
  }
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  builder["collectComments"] = false;                  // never to come back out in a reply
  builder["stackLimit"] = limits.deepest_nesting + 1;  // measured above; this is a second net
  try {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed.value, &errors))
      parsed.error = first_error(errors);
    else if (limits.utf8_strings && !all_utf8(parsed.value))
      parsed.error = "a string that is not UTF-8";
  } catch (const std::exception& error) {
    // JsonCpp throws beyond its stack limit; nothing it throws may end the
    // caller's service.
    parsed.error = utf8_excerpt(error.what(), 200);
  }
  if (!parsed.ok()) parsed.value = Json::Value();
  return parsed;
}

}  // namespace gw::base
