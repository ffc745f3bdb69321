#include "gateway/base/unit_ids.h"

#include <cctype>

namespace gw::base {

std::string id_part(const std::string& name) {
  std::string id;
  for (const char c : name)
    id += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  return id;
}

std::string entity_part(const std::string& name) {
  std::string part;
  bool gap = false;  // a run of other bytes since the last letter or digit
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x80 && std::isalnum(byte)) {
      if (gap && !part.empty()) part += '_';
      part += static_cast<char>(std::tolower(byte));
      gap = false;
    } else {
      gap = true;
    }
  }
  return part.empty() ? "unit" : part;
}

}  // namespace gw::base
