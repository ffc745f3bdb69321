#include "gateway/base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "gateway/base/iso_time.h"
#include "gateway/base/utf8.h"

namespace gw::base::log {
namespace {

std::atomic<Level> g_threshold{Level::kInfo};
bool g_stderr_journal = false;
bool g_stdout_journal = false;
bool g_records_to_log = false;
std::FILE* g_records = stdout;  // the process's standard output

// JOURNAL_STREAM is "DEVICE:INODE" of the journal's stream; a stream is the
// journal when its descriptor is that very file.
bool is_journal(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat status {};
  return fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// The stream's own lock keeps each line whole among other threads' lines.
// The log is read by journald and people: a line is valid UTF-8 whatever
// a peer or a child sent (a byte that starts no character shows as U+FFFD).
void append_valid(std::string& line, std::string_view text) {
  if (valid_utf8(text))
    line += text;
  else
    line += utf8_excerpt(text, std::string::npos);
}

void put(std::FILE* stream, const std::string& line) {
  flockfile(stream);
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
  funlockfile(stream);
}

std::string journal_prefix(Level level) {
  return "<" + std::to_string(static_cast<int>(level)) + ">";
}

// The start of a line of the log: the journal's priority, or the time and
// the level.
std::string log_prefix(Level level) {
  if (g_stderr_journal) return journal_prefix(level);
  return iso_time(std::chrono::system_clock::now(), true) + ' ' + level_name(level) + ": ";
}

}  // namespace

const char* level_name(Level level) {
  switch (level) {
    case Level::kError:
      return "error";
    case Level::kWarning:
      return "warning";
    case Level::kNotice:
      return "notice";
    case Level::kInfo:
      return "info";
    case Level::kDebug:
      return "debug";
  }
  return "?";
}

std::optional<Level> level_named(std::string_view name) {
  for (Level level : {Level::kError, Level::kWarning, Level::kNotice, Level::kInfo, Level::kDebug})
    if (name == level_name(level)) return level;
  return std::nullopt;
}

void init() {
  g_stderr_journal = is_journal(2);
  g_stdout_journal = is_journal(1);
}

bool to_journal() { return g_stderr_journal; }

void set_threshold(Level level) { g_threshold = level; }
Level threshold() { return g_threshold; }
bool enabled(Level level) {
  return static_cast<int>(level) <= static_cast<int>(g_threshold.load());
}

void write(Level level, std::string_view text) {
  if (!enabled(level)) return;
  std::string line = log_prefix(level);
  append_valid(line, text);
  line += '\n';
  put(stderr, line);
}

void move_records_to_log() { g_records_to_log = true; }

bool keep_standard_output_apart() {
  if (g_records != stdout) return true;
  std::fflush(stdout);
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  std::FILE* records = fd < 0 ? nullptr : ::fdopen(fd, "w");
  if (records == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  g_records = records;
  return true;
}

int standard_output_fd() { return ::fileno(g_records); }

void record(Level level, std::string_view text) {
  // Moved to the log, never left out: they are what the gateway reports.
  std::string line = g_records_to_log   ? log_prefix(level)
                     : g_stdout_journal ? journal_prefix(level)
                                        : std::string();
  append_valid(line, text);
  line += '\n';
  put(g_records_to_log ? stderr : g_records, line);
}

}  // namespace gw::base::log
