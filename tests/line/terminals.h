// The two ends of the fault line: the unit's pseudo-terminal, opened as a
// serial client, and the gateway's, which the fault line owns and can make
// go away and come back under the same path.
#pragma once

#include <string>

namespace line {

// Opens a terminal device in raw mode, non-blocking; throws
// std::runtime_error naming it.
int open_raw_terminal(const std::string& path);

// A pseudo-terminal that a symbolic link names, so that the gateway can be
// pointed at the link and find the terminal again after it went away. The
// gateway opens the terminal; the fault line keeps the controlling side.
class LinkedPty {
 public:
  // Opens a pseudo-terminal and points `link` at it; throws
  // std::runtime_error.
  explicit LinkedPty(std::string link);
  ~LinkedPty();  // closes it and removes the link
  LinkedPty(const LinkedPty&) = delete;
  LinkedPty& operator=(const LinkedPty&) = delete;

  // The controlling side, which the fault line reads requests from and
  // writes replies to; -1 while the terminal is away.
  int fd() const { return control_; }
  const std::string& path() const { return path_; }  // e.g. /dev/pts/7
  const std::string& link() const { return link_; }

  // Removes the link first, so that nobody opens the old path, then closes
  // the terminal: the gateway's descriptor hangs up.
  void vanish();
  // A new pseudo-terminal, and the link moved onto it in one step.
  void appear();

 private:
  std::string link_;
  std::string path_;
  int control_ = -1;
  int terminal_ = -1;  // held open, so that the gateway may close and reopen its own
};

}  // namespace line
