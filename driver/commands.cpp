#include "driver/commands.h"

#include <cstdint>
#include <exception>
#include <new>

#include <json/reader.h>
#include <json/value.h>

namespace norvane {
namespace {

// A member of a command object: its string form when it is there and not
// null; not readable when it is an array or an object, which have none.
struct MemberText {
  bool readable = true;
  std::optional<std::string> text;
};

// `object` is an object: looking a key up does not insert it, and a missing
// key gives null.
MemberText member_text(const Json::Value& object, const char* key) {
  MemberText member;
  const Json::Value& value = object[key];
  switch (value.type()) {
    case Json::nullValue:
      break;
    case Json::arrayValue:
    case Json::objectValue:
      member.readable = false;
      break;
    default:
      member.text = value.asString();
      break;
  }
  return member;
}

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::optional<CommandText> read_command(const void* text, int length, bool with_set_value) {
  if (text == nullptr || length < 0) return std::nullopt;
  const char* begin = static_cast<const char*>(text);
  try {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(begin, begin + length, root, true) || root.type() != Json::objectValue)
      return std::nullopt;
    CommandText command;
    MemberText id = member_text(root, "signal_id");
    if (!id.readable) return std::nullopt;
    if (id.text) command.signal_id = std::move(*id.text);
    if (with_set_value) {
      MemberText set_value = member_text(root, "SetValue");
      if (!set_value.readable) return std::nullopt;
      command.set_value = std::move(set_value.text);
    }
    return command;
  } catch (const std::bad_alloc&) {
    throw;  // not the text's fault: the caller's to handle
  } catch (const std::exception&) {
    // The parser throws on text nested beyond its depth limit, and member
    // access throws on values it cannot convert: neither is a command.
    // JsonCpp's exceptions derive from std::exception (Json::Exception in
    // 1.x); caught as such, the plug-in needs no JsonCpp typeinfo.
    return std::nullopt;
  }
}

std::optional<int> set_point_word(const std::string& set_value) {
  constexpr long kLargest = INT16_MAX / 10;  // 3276: the tenfold still fits
  size_t i = 0;
  while (i < set_value.size() && is_c_space(set_value[i])) ++i;
  bool negative = false;
  if (i < set_value.size() && (set_value[i] == '+' || set_value[i] == '-')) {
    negative = set_value[i] == '-';
    ++i;
  }
  const size_t first_digit = i;
  long magnitude = 0;
  for (; i < set_value.size() && set_value[i] >= '0' && set_value[i] <= '9'; ++i) {
    magnitude = 10 * magnitude + (set_value[i] - '0');
    if (magnitude > kLargest) return std::nullopt;  // stops before it could overflow
  }
  if (i == first_digit) return std::nullopt;           // no number at all
  if (negative && magnitude > 0) return std::nullopt;  // the unit would read it wrapped
  return static_cast<int>(10 * magnitude);
}

}  // namespace norvane
