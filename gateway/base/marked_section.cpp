#include "gateway/base/marked_section.h"

#include <fstream>
#include <sstream>
#include <utility>

namespace gw::base {
namespace {

// Offsets of the first line after the begin marker and of the end marker's line.
std::optional<std::pair<size_t, size_t>> section_bounds(const std::string& document,
                                                        const Markers& markers) {
  const std::string begin = std::string(markers.begin) + "\n";
  const std::string end = std::string("\n") + markers.end;
  const size_t begin_at = document.find(begin);
  if (begin_at == std::string::npos) return std::nullopt;
  const size_t first = begin_at + begin.size();
  const size_t end_at = document.find(end, first - 1);
  if (end_at == std::string::npos) return std::nullopt;
  return std::make_pair(first, end_at + 1);
}

}  // namespace

std::optional<std::string> marked_section(const std::string& document, const Markers& markers) {
  const auto bounds = section_bounds(document, markers);
  if (!bounds) return std::nullopt;
  return document.substr(bounds->first, bounds->second - bounds->first);
}

std::optional<std::string> with_marked_section(const std::string& document, const Markers& markers,
                                               const std::string& section) {
  const auto bounds = section_bounds(document, markers);
  if (!bounds) return std::nullopt;
  return document.substr(0, bounds->first) + section + document.substr(bounds->second);
}

std::string update_marked_file(const std::string& path, const Markers& markers,
                               const std::string& section) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream document;
  document << in.rdbuf();
  if (!in) return "cannot read " + path;
  const auto updated = with_marked_section(document.str(), markers, section);
  if (!updated) return path + " lacks the marker lines:\n" + markers.begin + "\n" + markers.end;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << *updated;
  if (!out.flush()) return "cannot write " + path;
  return {};
}

}  // namespace gw::base
