// norvane-config-reference: prints the manual page of the configuration
// file, norvane-gateway.json(5), as troff, from the field table; the
// package installs it. --paths prints each field's path, one a line, for
// the check that the page lists them all. --markdown prints the same fields
// as the manual's table; --update FILE writes it into FILE between the
// marker lines, --check FILE fails when FILE holds another.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "gateway/base/marked_section.h"
#include "gateway/config/field_table.h"
#include "gateway/config/serial_speeds.h"

namespace {

using gw::config::Field;
using gw::config::FieldType;
using gw::config::Reload;

// Text for troff: backslashes and minus signs escaped, no line that starts
// as a request.
std::string troff(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string choices(const Field& row) {
  std::string list;
  const size_t count = row.choice_count();
  for (size_t i = 0; i < count; ++i)
    list += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + quoted(row.choices[i]);
  return list;
}

std::string unit_after(const Field& row) {
  return row.unit.empty() ? "" : " " + std::string(row.unit);
}

std::string kind(const Field& row) {
  const std::string range = number(row.low) + " to " + number(row.high);
  switch (row.type) {
    case FieldType::kText:
      return "a text";
    case FieldType::kPath:
      return "a path; a relative one starts from this file's folder";
    case FieldType::kName:
      return "1 to 32 of A-Z a-z 0-9 - _ .";
    case FieldType::kTitle:
      return "1 to 64 characters of UTF-8, no control character";
    case FieldType::kInteger:
      return "a whole number from " + range + unit_after(row);
    case FieldType::kNumber:
      return "a number from " + range + unit_after(row) + ", fractions allowed";
    case FieldType::kFlag:
      return "true or false";
    case FieldType::kChoice:
      return choices(row);
    case FieldType::kSpeed:
      return "a speed of the serial line: " + gw::config::serial_speed_list();
    case FieldType::kListen:
      return "a text, \"HOST:PORT\"";
    case FieldType::kRange:
      return "[MIN, MAX], each from " + range + unit_after(row) + ", MIN < MAX";
    case FieldType::kLevels:
      return "an object: 12-digit signal id to a whole number or a level's name";
    case FieldType::kLimits:
      return "an object: 12-digit signal id to a number";
    case FieldType::kSignalIds:
      return "an array of 12-digit signal ids (texts)";
    case FieldType::kObject:
      return "an object";
    case FieldType::kCommand:
      return "an array of texts";
    case FieldType::kSection:
      return "an object";
    case FieldType::kSectionList:
      return "an array of objects";
  }
  return {};
}

std::string fallback(const Field& row) {
  if (!row.note.empty()) return std::string(row.note);
  switch (row.type) {
    case FieldType::kInteger:
    case FieldType::kNumber:
    case FieldType::kSpeed:
      return number(row.number);
    case FieldType::kFlag:
      return row.number != 0 ? "true" : "false";
    case FieldType::kRange:
      return "[" + number(row.number) + ", " + number(row.number_high) + "]";
    case FieldType::kChoice:
    case FieldType::kText:
    case FieldType::kPath:
      return quoted(row.text);
    default:
      return row.text.empty() ? "none" : std::string(row.text);
  }
}

// "default: 30", or the note as it is where it says "required".
std::string default_words(const Field& row) {
  const std::string words = fallback(row);
  return words.rfind("required", 0) == 0 ? words : "default: " + words;
}

std::string capitalised(std::string_view text) {
  std::string out(text);
  if (!out.empty() && out[0] >= 'a' && out[0] <= 'z')
    out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out;
}

std::string reload(const Field& row) {
  switch (row.reload) {
    case Reload::kApplied:
      return "a reload applies it";
    case Reload::kRestart:
      return "a change needs a restart";
    case Reload::kFields:
      return "a reload as each of its fields says";
  }
  return {};
}

// The heading of the fields of `section`: the row that holds them.
std::string heading(std::string_view section) {
  if (section.empty()) return "The top level";
  for (const Field& row : gw::config::kFields)
    if (row.members == section) return row.path();
  return std::string(section);
}

void print_field(const Field& row) {
  std::cout << ".TP\n.B " << troff(row.path()) << "\n"
            << troff(capitalised(row.description)) << ".\n.br\n"
            << troff(kind(row) + "; " + default_words(row) + "; " + reload(row) + ".") << "\n";
}

void print_page() {
  std::cout << ".TH NORVANE\\-GATEWAY.JSON 5 \"\" \"norvane " << troff(NORVANE_VERSION)
            << "\" \"File formats\"\n"
            << ".nh\n.ad l\n"
            << ".SH NAME\n"
            << "norvane\\-gateway.json \\- the configuration file of norvane\\-gateway\n"
            << ".SH SYNOPSIS\n"
            << "/etc/norvane/gateway.json\n"
            << ".SH DESCRIPTION\n"
            << troff(
                   "norvane-gateway reads one JSON object from this file at start, from the file "
                   "that --config names, and again at a reload (systemctl reload "
                   "norvane-gateway, norvane-gateway ctl reload or SIGHUP). Comments are "
                   "allowed. A field that is not listed below is an error, so that a misspelt "
                   "field is never silently ignored; every error names the file, the field and "
                   "the reason, as \"/etc/norvane/gateway.json: units[0].slave: must be a whole "
                   "number from 1 to 247\". The file must be a regular file of at most 1 MiB.")
            << "\n.PP\n"
            << troff(
                   "A reload applies the fields that say so at once. The others are named in "
                   "the log and in the reply of norvane-gateway ctl reload as changed and "
                   "applied after a restart, and stay as they run until then. A file with a "
                   "mistake is refused as a whole, and the configuration in use stays.")
            << "\n.PP\n"
            << troff(
                   "Each field is shown by its path: \"bus.baud\" is the field \"baud\" of the "
                   "object \"bus\", \"units[].slave\" the field \"slave\" of each entry of the "
                   "array \"units\". The fields of \"bus\" are those of each entry of \"buses\" "
                   "too, and the units of an entry of \"buses\" have the fields of "
                   "\"units[]\".")
            << "\n.SH FIELDS\n";
  std::string_view section = "\x01";
  for (const Field& row : gw::config::kFields) {
    if (row.section != section) {
      section = row.section;
      std::cout << ".SS \"" << troff(heading(section)) << "\"\n";
    }
    print_field(row);
  }
  std::cout << ".SH FILES\n"
            << ".TP\n/etc/norvane/gateway.json\n"
            << troff("the configuration that the service reads") << "\n"
            << ".TP\n/usr/share/doc/norvane/examples/gateway\\-two\\-buses.json\n"
            << troff("a configuration with two buses") << "\n"
            << ".SH SEE ALSO\n"
            << ".BR norvane\\-gateway (1)\n";
}

constexpr gw::base::Markers kTableMarkers{
    "<!-- configuration fields: generated by norvane-config-reference from "
    "gateway/config/field_table.h; do not edit here -->",
    "<!-- end of the configuration fields -->"};

// Markdown: no line break or pipe inside a cell.
std::string cell(std::string text) {
  for (char& c : text)
    if (c == '|') c = '/';
  return text;
}

std::string markdown_table() {
  std::string text =
      "| Field | Kind | Default | At a reload | What it is |\n|---|---|---|---|---|\n";
  for (const Field& row : gw::config::kFields) {
    const std::string reload_words = row.reload == Reload::kApplied   ? "applied"
                                     : row.reload == Reload::kRestart ? "restart"
                                                                      : "by its fields";
    text += "| `" + row.path() + "` | " + cell(kind(row)) + " | " + cell(fallback(row)) + " | " +
            reload_words + " | " + cell(std::string(row.description)) + " |\n";
  }
  return text;
}

int check(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream document;
  document << in.rdbuf();
  const auto section = gw::base::marked_section(document.str(), kTableMarkers);
  if (section && *section == markdown_table()) return 0;
  std::cerr << "norvane-config-reference: " << path
            << (section ? "'s table of the fields is out of date"
                        : " lacks the table's marker lines")
            << "; run norvane-config-reference --update " << path << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string option = argc > 1 ? argv[1] : "";
  if (option == "--paths") {
    for (const Field& row : gw::config::kFields) std::cout << row.path() << "\n";
    return 0;
  }
  if (option == "--markdown" && argc == 2) {
    std::cout << markdown_table();
    return 0;
  }
  if (option == "--update" && argc == 3) {
    const std::string problem =
        gw::base::update_marked_file(argv[2], kTableMarkers, markdown_table());
    if (problem.empty()) return 0;
    std::cerr << "norvane-config-reference: " << problem << "\n";
    return 1;
  }
  if (option == "--check" && argc == 3) return check(argv[2]);
  if (!option.empty()) {
    std::cerr << "usage: norvane-config-reference [--paths | --markdown | --update FILE | "
                 "--check FILE]\n";
    return 2;
  }
  print_page();
  return 0;
}
