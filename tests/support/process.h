// A child process for tests that drive the programs over pseudo-terminals:
// started with its standard output and error captured, read line by line
// with deadlines, signalled, and killed if a test leaves it running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testproc {

using std::chrono::milliseconds;

// Generous: CI runs on a loaded 2-core machine.
inline constexpr milliseconds kPatience{20000};

class Process {
 public:
  // `environment` ("NAME=value") is added to the test's own.
  explicit Process(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment = {});
  ~Process();  // SIGKILL if still running
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  enum Stream { kOut = 0, kErr = 1 };

  // The next line of `stream`, after those already taken, that contains
  // `needle`; nothing if none comes within `timeout` or the stream ends.
  std::optional<std::string> next_line(const std::string& needle, Stream stream = kOut,
                                       milliseconds timeout = kPatience);

  // Takes in what its pipes hold, waiting at most `timeout` for more: a
  // child that writes much while another is waited for must not block on a
  // full pipe.
  void drain(milliseconds timeout = milliseconds(0)) { pump(timeout); }
  // Whether it has exited; wait_exit then gives its status at once.
  bool exited();

  void signal(int number);
  // Waits for the exit; the exit status, or -1 (killed, or still running
  // at the deadline, when it is killed).
  int wait_exit(milliseconds timeout = kPatience);

  // Everything captured so far.
  const std::string& out() const { return text_[kOut]; }
  const std::string& err() const { return text_[kErr]; }
  pid_t pid() const { return pid_; }

 private:
  // Reads what the pipes have, waiting at most `timeout`; false once both
  // are closed.
  bool pump(milliseconds timeout);

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  std::string text_[2];
  size_t taken_[2] = {0, 0};  // offset of the first line not yet taken
  std::optional<int> status_;
};

// A fresh folder under /tmp, removed with its files.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

}  // namespace testproc
