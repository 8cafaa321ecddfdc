// SPDX-License-Identifier: Zlib
// The bench-only profiling stub does a whole run like the shipped one and leaves one line of
// stage marks where the benchmark reads them.
#include <sstream>
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

  // The counter frequency, then every stage's counter value; each stage was reached, in order.
  std::istringstream line(ReadFileBytes(profile));
  std::vector<unsigned long long> numbers;
  for (unsigned long long number = 0; line >> number;) {
    numbers.push_back(number);
  }
  ASSERT_TRUE(line.eof()) << "not a line of numbers: " << ReadFileBytes(profile);
  ASSERT_EQ(numbers.size(), static_cast<size_t>(Stage::kCount) + 1);
  EXPECT_GT(numbers[0], 0u);
  // Every stage does at least one system call, which takes far more than a microsecond under
  // Wine; a counter that fine must move between any two marks, a coarser one only stand still.
  const bool fine_clock = numbers[0] >= 1000000;
  for (size_t i = 1; i < numbers.size(); ++i) {
    EXPECT_GT(numbers[i], 0u) << "stage " << i - 1 << " not marked";
    if (i > 1 && fine_clock) {
      EXPECT_GT(numbers[i], numbers[i - 1])
          << "stage " << i - 1 << " not marked after stage " << i - 2;
    } else if (i > 1) {
      EXPECT_GE(numbers[i], numbers[i - 1])
          << "stage " << i - 1 << " marked before stage " << i - 2;
    }
  }
  EXPECT_GT(numbers.back(), numbers[1]) << "the whole run took no time on the counter";
}

} // namespace
