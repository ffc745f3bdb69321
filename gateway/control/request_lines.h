// The control socket's framing, apart from its I/O: bytes as they arrive
// in, request lines out. A line ends with "\n" (a "\r" before it is
// dropped); blank lines are skipped. A line that grows past `longest` bytes
// before its end is refused whole: the connection is then closed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace gw::control {

class RequestLines {
 public:
  explicit RequestLines(size_t longest) : longest_(longest) {}

  void append(const char* data, size_t size) { buffer_.append(data, size); }
  // The next complete line that is not blank, without its end.
  std::optional<std::string> next();
  // Whether the line not yet ended is longer than allowed (checked once
  // every complete line was taken).
  bool overlong() const { return buffer_.size() > longest_; }

 private:
  size_t longest_;
  std::string buffer_;
  size_t start_ = 0;  // of the first line not yet taken
};

}  // namespace gw::control
