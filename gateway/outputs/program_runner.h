// Runs a program as the notifications do: execve of a path with its
// arguments, never through a shell; its environment is the gateway's
// (without the service manager's own variables) with `environment` added;
// in a process group of its own, with the signals at their defaults.
//
// The program gets standard input from /dev/null and one pipe for its
// standard output and error, and no other descriptor of the gateway's (all
// from 3 up are closed in the child, whoever opened them: the broker's
// connection, the history, the control socket's clients). Of what it
// writes, the first kOutputKeptBytes are kept for the log; the rest is
// read, counted and discarded, so a chatty program neither blocks nor
// fills the log.
//
// It is given `limit` to finish: then SIGTERM goes to its group, and
// SIGKILL kKillAfterTerm later. When the gateway stops (`stopping` set),
// the wait is cut to kGraceAtStop, and SIGKILL follows SIGTERM after
// kKillAfterTermAtStop: a stop lets go of the program within
// kLongestStopWait, whatever it does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace gw::outputs {

constexpr size_t kOutputKeptBytes = 4096;  // of a run's output, for the log
constexpr std::chrono::milliseconds kKillAfterTerm{1000};
constexpr std::chrono::milliseconds kGraceAtStop{200};
constexpr std::chrono::milliseconds kKillAfterTermAtStop{200};
// After SIGKILL the child is waited for this long at most (a child stuck
// in the kernel is left behind, logged, rather than holding the stop).
constexpr std::chrono::milliseconds kReapAfterKill{100};
constexpr std::chrono::milliseconds kLongestStopWait =
    kGraceAtStop + kKillAfterTermAtStop + kReapAfterKill;

struct ProgramRun {
  bool started = false;
  std::string error;             // why it did not start
  bool timed_out = false;        // stopped at its limit
  bool cut_short = false;        // stopped because the gateway stops
  bool left_behind = false;      // did not end even after SIGKILL (not waited for)
  int exit_status = -1;          // when it exited
  int signal = 0;                // when a signal ended it
  std::string output;            // the first kOutputKeptBytes of its output
  long long output_dropped = 0;  // bytes of output past those, discarded
};

ProgramRun run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, std::chrono::milliseconds limit,
                       const std::atomic<bool>& stopping);

// "exited 0", "exited 3", "killed by signal 9", "stopped at its time
// limit", "stopped: the gateway stops", "not started: ...".
std::string describe(const ProgramRun& run);

}  // namespace gw::outputs
