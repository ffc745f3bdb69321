// norvane-readings-table: prints the manual's reference of the readings and
// the alarms, generated from the tables; with --update FILE, writes it into
// FILE between the marker lines instead.
#include <iostream>
#include <string>

#include "gateway/readings/reference.h"

namespace {

constexpr char kUsage[] =
    "usage: norvane-readings-table [--update FILE]\n"
    "Prints the reference tables of the readings and alarms (Markdown).\n"
    "  --update FILE  replace the lines between the reference's marker lines in FILE\n";

int update(const std::string& path) {
  const std::string problem = gw::base::update_marked_file(path, gw::readings::kReferenceMarkers,
                                                           gw::readings::reference_markdown());
  if (problem.empty()) return 0;
  std::cerr << "norvane-readings-table: " << problem << "\n";
  return 1;
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
