// Runs a program as the notifications do: execve of a path with its
// arguments, never through a shell; its environment is the gateway's
// (without the service manager's own variables) with `environment` added;
// standard input from /dev/null, its output to the gateway's standard
// error (the log); in a process group of its own, with the signals at
// their defaults. It is given `limit` to finish: then SIGTERM goes to its
// group, and SIGKILL a second later.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace gw::outputs {

struct ProgramRun {
  bool started = false;
  std::string error;       // why it did not start
  bool timed_out = false;  // stopped at its limit (or at the gateway's stop)
  int exit_status = -1;    // when it exited
  int signal = 0;          // when a signal ended it
};

// `stopping`, when set while it runs, shortens the wait to `grace`.
ProgramRun run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, std::chrono::milliseconds limit,
                       const std::atomic<bool>& stopping,
                       std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

// "exited 0", "exited 3", "killed by signal 9", "stopped after 30 s",
// "not started: ...".
std::string describe(const ProgramRun& run);

}  // namespace gw::outputs
