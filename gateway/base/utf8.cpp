#include "gateway/base/utf8.h"

namespace gw::base {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr size_t kReplacementBytes = sizeof kReplacement - 1;

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed character at the start of `text` (1 to 4),
// or 0 when it starts with none (RFC 3629's table of well-formed sequences).
size_t character_length(std::string_view text) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (!continuation(at(i))) return 0;
  return length;
}

}  // namespace

bool valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const size_t length = character_length(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

std::string utf8_excerpt(std::string_view text, size_t largest_bytes) {
  std::string excerpt;
  while (!text.empty()) {
    const size_t length = character_length(text);
    const size_t adds = length == 0 ? kReplacementBytes : length;
    if (excerpt.size() + adds > largest_bytes) break;
    if (length == 0)
      excerpt.append(kReplacement, kReplacementBytes);
    else
      excerpt.append(text.data(), length);
    text.remove_prefix(length == 0 ? 1 : length);
  }
  return excerpt;
}

}  // namespace gw::base
