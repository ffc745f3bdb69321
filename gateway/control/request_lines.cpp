#include "gateway/control/request_lines.h"

namespace gw::control {

std::optional<std::string> RequestLines::next() {
  for (;;) {
    const size_t end = buffer_.find('\n', start_);
    if (end == std::string::npos) {
      buffer_.erase(0, start_);  // once a batch is taken, not once a line
      start_ = 0;
      return std::nullopt;
    }
    std::string line = buffer_.substr(start_, end - start_);
    start_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) return line;
  }
}

}  // namespace gw::control
