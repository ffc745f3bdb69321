// UTF-8 as the gateway checks what comes in and mends what it passes on:
// every text that leaves it (JSON on the control socket, over MQTT, in HTTP
// bodies) must be valid UTF-8, whatever bytes a peer sent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gw::base {

// Whether `text` is well-formed UTF-8: no stray continuation byte, no
// truncated or overlong sequence, no surrogate (U+D800..U+DFFF), nothing
// above U+10FFFF.
bool valid_utf8(std::string_view text);

// `text` as valid UTF-8 of at most `largest_bytes` bytes: each byte that
// starts no well-formed character becomes U+FFFD (3 bytes), and the cut
// falls between characters, never inside one. For quoting what a peer sent
// in a reply or a log line.
std::string utf8_excerpt(std::string_view text, size_t largest_bytes);

}  // namespace gw::base
