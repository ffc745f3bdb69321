#include "gateway/readings/text_fields.h"

#include "gateway/base/utf8.h"

namespace gw::readings {

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string valid_utf8(std::string_view text) {
  return base::utf8_excerpt(text, std::string::npos);  // every byte, mended
}

}  // namespace gw::readings
