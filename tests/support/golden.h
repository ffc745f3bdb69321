// Golden data of the tests: files under tests/golden, kept readable for a
// reviewer (UTF-8 texts) next to the exact bytes that the plug-in produces.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef NORVANE_GOLDEN_DIR
#error "NORVANE_GOLDEN_DIR names tests/golden"
#endif

namespace golden {

// The bytes of tests/golden/`name`; fails the test when it cannot be read.
inline std::string file_bytes(const std::string& name) {
  std::ifstream file(std::string(NORVANE_GOLDEN_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(file.good()) << "cannot read golden file " << name;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The lines of section `[name]` of a golden text file: up to the next
// section, without blank lines and "#" comments.
inline std::vector<std::string> section_lines(const std::string& file, const std::string& name) {
  std::istringstream text(file_bytes(file));
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(text, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inside = line == "[" + name + "]";
      continue;
    }
    if (inside) lines.push_back(line);
  }
  EXPECT_FALSE(lines.empty()) << "no section [" << name << "] in " << file;
  return lines;
}

}  // namespace golden
