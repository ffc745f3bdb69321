// Fields of text that come from elsewhere (the history's unit names, alarm
// titles and details) made safe for the formats they go into.
#pragma once

#include <string>
#include <string_view>

namespace gw::readings {

// A CSV field as RFC 4180 has it: as it is, or in double quotes with each
// double quote doubled when it holds a comma, a double quote, CR or LF.
std::string csv_field(std::string_view text);

// `text` with each byte that does not belong to a valid UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF included)
// replaced by U+FFFD, so that JSON and CSV output stays valid UTF-8.
std::string valid_utf8(std::string_view text);

}  // namespace gw::readings
