// norvane-readings-table: prints the manual's reference of the readings and
// the alarms, generated from the tables; with --update FILE, writes it into
// FILE between the marker lines instead.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "gateway/readings/reference.h"

namespace {

constexpr char kUsage[] =
    "usage: norvane-readings-table [--update FILE]\n"
    "Prints the reference tables of the readings and alarms (Markdown).\n"
    "  --update FILE  replace the lines between the reference's marker lines in FILE\n";

int update(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream document;
  document << in.rdbuf();
  if (!in) {
    std::cerr << "norvane-readings-table: cannot read " << path << "\n";
    return 1;
  }
  const auto updated =
      gw::readings::with_reference_section(document.str(), gw::readings::reference_markdown());
  if (!updated) {
    std::cerr << "norvane-readings-table: " << path << " lacks the marker lines:\n"
              << gw::readings::kReferenceBegin << "\n"
              << gw::readings::kReferenceEnd << "\n";
    return 1;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << *updated;
  if (!out.flush()) {
    std::cerr << "norvane-readings-table: cannot write " << path << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc == 1) {
    std::cout << gw::readings::reference_markdown();
    return std::cout.flush() ? 0 : 1;
  }
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 3 && first == "--update") return update(argv[2]);
  std::cerr << kUsage;
  return 2;
}
