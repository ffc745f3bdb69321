// The plug-in's own lines on standard output: "rvSize is N" after every
// round and "SPModbus get error" after every failed one, diagnostics for
// its developers. While a PluginOutput lives, descriptor 1 is a pipe that
// it reads: each line goes to the log at debug level and is counted, and
// the gateway's record lines and JSON Lines keep the real standard output.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace gw::service {

// Cuts bytes into lines: a line ends at '\n' (a '\r' before it dropped) or
// at kLongestLine bytes, so that no writer can make it grow without bound.
class LineCutter {
 public:
  static constexpr size_t kLongestLine = 1024;

  // The lines that `bytes` completes, in order.
  std::vector<std::string> take(std::string_view bytes);
  // What is left without a line feed, as a last line; empty when nothing is.
  std::string rest();

 private:
  std::string partial_;
};

class PluginOutput {
 public:
  // `line` is called on the reading thread for each line. When no pipe or
  // descriptor can be had, standard output stays as it is, and the log
  // says why.
  explicit PluginOutput(std::function<void(const std::string&)> line);
  // Gives descriptor 1 back and logs what was left; never waits for a
  // writer (a child that kept the pipe open holds nothing up).
  ~PluginOutput();
  PluginOutput(const PluginOutput&) = delete;
  PluginOutput& operator=(const PluginOutput&) = delete;

 private:
  void read_lines();
  // Reads what the pipe has, at most `reads` times.
  void drain(size_t reads);

  std::function<void(const std::string&)> line_;
  LineCutter cutter_;
  int read_fd_ = -1;
  int saved_fd_ = -1;  // descriptor 1 as it was
  int stop_fd_ = -1;   // an eventfd: stop reading
  std::thread reader_;
};

}  // namespace gw::service
