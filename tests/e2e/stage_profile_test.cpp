// SPDX-License-Identifier: Zlib
// The bench-only profiling stub does a whole run like the shipped one and leaves one line of
// stage marks where the benchmark reads them.
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "e2e/stub_run_fixture.h"
#include "run/stage_profile.h"

namespace {

TEST_F(StubRunTest, ProfilingStubRunsAndWritesOneMarkPerStageInOrder) {
  PlaceStub(stub_folder_, kStubName, PackedStub(L"profile-stub.exe"));
  const std::wstring profile = scratch_ / L"profile.txt";
  const ScopedEnvironmentVariable profiling(L"ONDREL_STAGE_PROFILE", profile);

  const ProcessOutcome outcome = RunStub(L"");
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_FALSE(TakeReceived().empty()) << "the setup program did not run";
  EXPECT_TRUE(LeftBeside(stub_folder_).empty());

  // "frequency=F", then "name=T" per stage: each stage named once, reached, in order; the
  // reports find the marks by these names.
  std::istringstream line(ReadFileBytes(profile));
  std::vector<std::pair<std::string, unsigned long long>> marks;
  for (std::string field; line >> field;) {
    const size_t equals = field.find('=');
    ASSERT_NE(equals, std::string::npos) << "not name=value: " << field;
    const std::string value = field.substr(equals + 1);
    ASSERT_TRUE(!value.empty() && value.find_first_not_of("0123456789") == std::string::npos)
        << "not a counter value: " << field;
    marks.emplace_back(field.substr(0, equals), std::stoull(value));
  }
  ASSERT_EQ(marks.size(), static_cast<size_t>(Stage::kCount) + 1) << ReadFileBytes(profile);
  EXPECT_EQ(marks[0].first, "frequency");
  EXPECT_GT(marks[0].second, 0u);
  EXPECT_EQ(marks[1].first, "entry");
  EXPECT_EQ(marks.back().first, "exit");
  // Every stage does at least one system call, which takes far more than a microsecond under
  // Wine; a counter that fine must move between any two marks, a coarser one only stand still.
  const bool fine_clock = marks[0].second >= 1000000;
  std::set<std::string> names;
  for (size_t i = 1; i < marks.size(); ++i) {
    EXPECT_TRUE(names.insert(marks[i].first).second) << marks[i].first << " named twice";
    EXPECT_GT(marks[i].second, 0u) << marks[i].first << " not marked";
    if (i > 1 && fine_clock) {
      EXPECT_GT(marks[i].second, marks[i - 1].second)
          << marks[i].first << " not marked after " << marks[i - 1].first;
    } else if (i > 1) {
      EXPECT_GE(marks[i].second, marks[i - 1].second)
          << marks[i].first << " marked before " << marks[i - 1].first;
    }
  }
  EXPECT_GT(marks.back().second, marks[1].second) << "the whole run took no time on the counter";
}

} // namespace
