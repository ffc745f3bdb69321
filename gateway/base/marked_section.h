// A section of a text file between two marker lines, which a program
// writes (the manual's generated tables) and a test compares.
#pragma once

#include <optional>
#include <string>

namespace gw::base {

struct Markers {
  const char* begin;  // the whole line before the section
  const char* end;    // the whole line after it
};

// The lines between the marker lines of `document`; nothing when either is
// missing or they are out of order.
std::optional<std::string> marked_section(const std::string& document, const Markers& markers);

// `document` with the lines between its marker lines replaced by `section`
// (whole lines, each ending in a newline); nothing as above.
std::optional<std::string> with_marked_section(const std::string& document, const Markers& markers,
                                               const std::string& section);

// Writes `section` between the marker lines of the file at `path`; a
// message naming the file (and the markers when they are missing), or
// empty on success.
std::string update_marked_file(const std::string& path, const Markers& markers,
                               const std::string& section);

}  // namespace gw::base
