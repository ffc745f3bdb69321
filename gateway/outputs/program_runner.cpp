#include "gateway/outputs/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

extern char** environ;

namespace gw::outputs {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollStep{5};  // between looks at the child's state
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsAtOnce = 16;  // then the deadlines are looked at again

// The service manager's variables are the gateway's, not its programs'.
bool inherited(const char* variable) {
  for (const char* own : {"NOTIFY_SOCKET=", "WATCHDOG_PID=", "WATCHDOG_USEC=", "LISTEN_FDS=",
                          "LISTEN_PID=", "LISTEN_FDNAMES="})
    if (std::strncmp(variable, own, std::strlen(own)) == 0) return false;
  return true;
}

std::vector<std::string> environment_with(const std::vector<std::string>& added) {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!inherited(*variable)) continue;
    const char* equals = std::strchr(*variable, '=');
    const std::string name(*variable, equals != nullptr ? equals - *variable + 1 : 0);
    bool replaced = false;
    for (const std::string& mine : added) replaced |= !name.empty() && mine.rfind(name, 0) == 0;
    if (!replaced) variables.emplace_back(*variable);
  }
  variables.insert(variables.end(), added.begin(), added.end());
  return variables;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  for (std::string& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// The read end of the child's output pipe: keeps the first bytes, counts
// and discards the rest.
class OutputPipe {
 public:
  explicit OutputPipe(ProgramRun& run) : run_(run) {}
  ~OutputPipe() {
    close_read();
    close_write();
  }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  // Both ends close on exec: only the child's dup2 of the write end
  // reaches a program, this child's and no other that starts meanwhile.
  bool open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read_fd_ = ends[0];
    write_fd_ = ends[1];
    // The child's end blocks, as a program expects of its output.
    ::fcntl(write_fd_, F_SETFL, 0);
    return true;
  }
  int write_fd() const { return write_fd_; }
  void close_write() {
    if (write_fd_ >= 0) ::close(write_fd_);
    write_fd_ = -1;
  }
  void close_read() {
    if (read_fd_ >= 0) ::close(read_fd_);
    read_fd_ = -1;
  }

  // Waits up to `wait` for output and takes what is there (a bounded
  // amount: the caller comes back).
  void take(milliseconds wait) {
    if (read_fd_ < 0) {
      std::this_thread::sleep_for(wait);
      return;
    }
    pollfd readable{read_fd_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return;
    char buffer[kReadChunk];
    for (int i = 0; i < kReadsAtOnce; ++i) {
      const ssize_t got = ::read(read_fd_, buffer, sizeof buffer);
      if (got > 0) {
        keep(buffer, static_cast<size_t>(got));
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got == 0 || errno != EAGAIN) close_read();  // the end, or a fault
      return;
    }
  }

 private:
  void keep(const char* bytes, size_t size) {
    const size_t room = kOutputKeptBytes - std::min(kOutputKeptBytes, run_.output.size());
    const size_t kept = std::min(room, size);
    run_.output.append(bytes, kept);
    run_.output_dropped += static_cast<long long>(size - kept);
  }

  ProgramRun& run_;
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// A started child: its end, waited for while its output is read.
class Child {
 public:
  Child(pid_t pid, OutputPipe& output, const std::atomic<bool>& stopping)
      : pid_(pid), output_(output), stopping_(stopping) {}

  // Waits for the child's end until `deadline`, cut to kGraceAtStop from
  // the moment the gateway stops; whether it ended.
  bool ended_by(Clock::time_point deadline, bool heeds_stop) {
    for (;;) {
      if (reaped()) return true;
      if (heeds_stop && stopping_ && !cut_) {
        cut_ = true;
        deadline = std::min(deadline, Clock::now() + kGraceAtStop);
      }
      if (Clock::now() >= deadline) return false;
      output_.take(kPollStep);
    }
  }
  // SIGTERM to its group, SIGKILL later; whether it was reaped.
  bool end() {
    ::kill(-pid_, SIGTERM);
    const milliseconds patience = cut_ ? kKillAfterTermAtStop : kKillAfterTerm;
    if (ended_by(Clock::now() + patience, false)) return true;
    ::kill(-pid_, SIGKILL);
    return ended_by(Clock::now() + kReapAfterKill, false);
  }
  // What is left in the pipe once it ended (a grandchild that keeps the
  // pipe open is not waited for).
  void drain() {
    for (int i = 0; i < kReadsAtOnce; ++i) output_.take(milliseconds(0));
  }
  bool cut() const { return cut_; }
  int status() const { return status_; }

 private:
  bool reaped() { return ::waitpid(pid_, &status_, WNOHANG) == pid_; }

  const pid_t pid_;
  OutputPipe& output_;
  const std::atomic<bool>& stopping_;
  bool cut_ = false;
  int status_ = 0;
};

// Spawns the program with descriptors 0 to 2 only; the child's pid, or
// the reason it did not start.
std::optional<pid_t> spawn(std::vector<std::string>& arguments, std::vector<std::string>& variables,
                           int output_fd, std::string& error) {
  std::vector<char*> arg_list = pointers(arguments), env_list = pointers(variables);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, output_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, output_fd, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);  // the gateway's threads block signals
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, arguments[0].c_str(), &files, &attributes, arg_list.data(),
                                  env_list.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  if (spawned == 0) return pid;
  error = arguments[0] + ": " + std::strerror(spawned);
  return std::nullopt;
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, milliseconds limit,
                       const std::atomic<bool>& stopping) {
  ProgramRun run;
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = environment_with(environment);
  OutputPipe output(run);
  if (!output.open()) {
    run.error = std::string("no pipe for its output: ") + std::strerror(errno);
    return run;
  }
  const std::optional<pid_t> pid = spawn(arguments, variables, output.write_fd(), run.error);
  output.close_write();  // the child holds it now: the pipe ends with the child
  if (!pid) return run;
  run.started = true;
  Child child(*pid, output, stopping);
  if (!child.ended_by(Clock::now() + limit, true)) {
    (child.cut() ? run.cut_short : run.timed_out) = true;
    run.left_behind = !child.end();
  }
  child.drain();
  const int status = child.status();
  if (!run.left_behind && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (!run.left_behind && WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::string describe(const ProgramRun& run) {
  if (!run.started) return "not started: " + run.error;
  const char* left = run.left_behind ? " (it did not end after SIGKILL and is left behind)" : "";
  if (run.timed_out) return std::string("stopped at its time limit") + left;
  if (run.cut_short) return std::string("stopped: the gateway stops") + left;
  if (run.signal != 0) return "killed by signal " + std::to_string(run.signal);
  return "exited " + std::to_string(run.exit_status);
}

}  // namespace gw::outputs
