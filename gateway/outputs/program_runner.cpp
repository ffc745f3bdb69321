#include "gateway/outputs/program_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace gw::outputs {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollStep{5};
constexpr milliseconds kKillAfterTerm{1000};

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

// The child's status once it has ended, waiting until `deadline` at most.
bool reaped(pid_t pid, int& status, Clock::time_point deadline, const std::atomic<bool>* stopping,
            milliseconds grace) {
  bool shortened = false;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return done == pid;
    if (stopping != nullptr && *stopping && !shortened) {
      deadline = std::min(deadline, Clock::now() + grace);
      shortened = true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& environment, milliseconds limit,
                       const std::atomic<bool>& stopping, milliseconds grace) {
  ProgramRun run;
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = environment_with(environment);
  std::vector<char*> arg_list = pointers(arguments), env_list = pointers(variables);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, STDERR_FILENO, STDOUT_FILENO);
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
  if (spawned != 0) {
    run.error = arguments[0] + ": " + std::strerror(spawned);
    return run;
  }
  run.started = true;
  int status = 0;
  if (!reaped(pid, status, Clock::now() + limit, &stopping, grace)) {
    run.timed_out = true;
    ::kill(-pid, SIGTERM);
    if (!reaped(pid, status, Clock::now() + kKillAfterTerm, nullptr, grace)) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::string describe(const ProgramRun& run) {
  if (!run.started) return "not started: " + run.error;
  if (run.timed_out) return "stopped at its time limit";
  if (run.signal != 0) return "killed by signal " + std::to_string(run.signal);
  return "exited " + std::to_string(run.exit_status);
}

}  // namespace gw::outputs
