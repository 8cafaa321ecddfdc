// SPDX-License-Identifier: Zlib
#include "layout/layout_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/layout_cases.h"
#include "pe/pe_image.h"
#include "pe/resources.h"
#include "platform/input_file.h"

using namespace packer;

namespace {

// The layout decision over the stubs the build packed from the shared table, names stored
// exactly as given: what the stub decides from its resources alone (112 and 116) is the packer's
// fault; a path that does not fit the work directory is no layout fault, but leaves no folder to
// run from; the cabinet's expansion (115) is judged apart.
TEST(JudgeLayout, DecidesEverySharedLayoutAsTheStubDoes) {
  const char *data = std::getenv("PACKER_TEST_DATA");
  if (data == nullptr) {
    GTEST_SKIP() << "PACKER_TEST_DATA names the build's test-data folder";
  }
  std::ifstream table(std::string(data) + "/layout_cases.txt");
  std::stringstream text;
  text << table.rdbuf();
  const std::vector<LayoutCase> cases = ReadLayoutCases(text.str());
  ASSERT_FALSE(cases.empty());
  for (const LayoutCase &c : cases) {
    SCOPED_TRACE(c.layout);
    const InputFile stub(std::string(data) + "/layouts/" + c.layout + ".exe", "the layout");
    const std::vector<ResourceEntry> entries = ReadResources(stub, ReadPeImage(stub));
    const PayloadLayout layout = JudgeLayout(entries);
    const bool refused = c.stub.exit_code == RESULT_ARCHIVE_EXTRACTION_FAILED ||
                         c.stub.exit_code == RESULT_SETUP_EXTRACTION_FAILED;
    ASSERT_EQ(layout.fault.has_value(), refused);
    if (refused) {
      EXPECT_EQ(layout.fault->exit_code, c.stub.exit_code);
      EXPECT_EQ(layout.fault->extra_code, c.stub.extra_code);
      continue;
    }
    EXPECT_EQ(LongestFolder(layout) == 0, c.stub.exit_code == RESULT_PATH_TOO_LONG);
    if (c.archive_path != "~") {
      EXPECT_EQ(Utf16ToUtf8(layout.archive->name.text), c.archive_path);
    }
  }
}

} // namespace
