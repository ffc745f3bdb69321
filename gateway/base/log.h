// The gateway's two kinds of output lines.
//
// The log (standard error): one line per event, with a level. On a terminal
// or in a file each line starts with the local time and the level:
//
//   2024-05-01T12:00:00.123+02:00 warning: serial port /dev/ttyUSB0 lost: ...
//
// When standard error is the journal (JOURNAL_STREAM names it), the line
// starts with the level as a "<N>" prefix instead, which the journal takes
// in place of its default priority: <3> error, <4> warning, <5> notice,
// <6> info, <7> debug. Lines above the threshold (--log-level) are left out.
//
// The record (standard output): the lines that tools parse ("alarm ...",
// "command ...", "report ...", "reload ...", "summary ..."), never left out
// and never stamped, so that their text stays as documented; with the
// journal they get the "<N>" prefix too.
//
// Both may be written from any thread; each line is one write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gw::base::log {

enum class Level { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

// "error", "warning", "notice", "info", "debug".
const char* level_name(Level level);
std::optional<Level> level_named(std::string_view name);

// Looks at JOURNAL_STREAM and the two streams once; call at start, before
// threads.
void init();
// Whether the "<N>" prefixes are used on standard error.
bool to_journal();

void set_threshold(Level level);
Level threshold();
bool enabled(Level level);

// One log line (no line feed in `text`).
void write(Level level, std::string_view text);
inline void error(std::string_view text) { write(Level::kError, text); }
inline void warning(std::string_view text) { write(Level::kWarning, text); }
inline void notice(std::string_view text) { write(Level::kNotice, text); }
inline void info(std::string_view text) { write(Level::kInfo, text); }
inline void debug(std::string_view text) { write(Level::kDebug, text); }

// One record line on standard output; `level` only chooses the journal's
// priority.
void record(Level level, std::string_view line);
// From now on the record lines go to standard error, as log lines, and
// standard output is left to another output (JSON Lines). Call at start,
// before threads.
void move_records_to_log();

// Gives the record lines a descriptor of their own on the standard output
// that the process has now, so that descriptor 1 (where the plug-in
// prints) may become something else. Call at start, before threads; a
// second call changes nothing. Returns false when no descriptor is left.
bool keep_standard_output_apart();
// The descriptor of the process's standard output as it started: the
// records' own after keep_standard_output_apart, else 1.
int standard_output_fd();

}  // namespace gw::base::log
