// docs/readings.md's reference of the readings and alarms is what the
// tables print.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "gateway/readings/reference.h"

namespace {

using namespace gw::readings;

TEST(Reference, TheManualHoldsWhatTheTablesPrint) {
  std::ifstream in(NORVANE_READINGS_DOC);
  std::stringstream manual;
  manual << in.rdbuf();
  const auto section = reference_section(manual.str());
  ASSERT_TRUE(section) << NORVANE_READINGS_DOC << " lacks the lines\n"
                       << kReferenceBegin << "\n"
                       << kReferenceEnd;
  EXPECT_EQ(*section, reference_markdown())
      << "docs/readings.md's reference is out of date: build, then run "
         "build/gateway/norvane-readings-table --update docs/readings.md";
}

TEST(Reference, AnUpdateReplacesOnlyTheLinesBetweenTheMarkers) {
  const std::string before = "# Title\n\n", after = "\nMore.\n";
  const std::string begin = std::string(kReferenceBegin) + "\n", end = std::string(kReferenceEnd);
  const auto updated =
      with_reference_section(before + begin + "old\nlines\n" + end + after, "new\n");
  EXPECT_EQ(updated, before + begin + "new\n" + end + after);
  EXPECT_EQ(with_reference_section(before + begin + end + after, "new\n"),
            before + begin + "new\n" + end + after);
  EXPECT_FALSE(with_reference_section(before + end + "\n" + begin, "new\n")) << "out of order";
}

}  // namespace
