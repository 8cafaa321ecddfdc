// SPDX-License-Identifier: Zlib
#include "run/installer_run.h"

#include <gtest/gtest.h>

#include <string>

#include "common/registry.h"
#include "common/scratch.h"
#include "common/stub_process.h"
#include "support/platform_seam.h"

namespace {

// The module path the run is made to see.
std::wstring module_path;

DWORD WINAPI FakeModulePath(HMODULE, LPWSTR buffer, DWORD size) {
  // As the platform does: a path that does not fit is cut, and the count equals the size.
  const DWORD count = static_cast<DWORD>(std::min<size_t>(module_path.size(), size));
  module_path.copy(buffer, count);
  if (count < size) {
    buffer[count] = L'\0';
  } else {
    buffer[size - 1] = L'\0';
  }
  return count;
}

DWORD WINAPI NoModulePath(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

LPWSTR *WINAPI FailingSplit(LPCWSTR, int *) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

using ModulePathFn = decltype(PlatformOverrides::GetModuleFileNameW);
using SplitFn = decltype(PlatformOverrides::CommandLineToArgvW);

class InstallerRunTest : public ::testing::Test {
protected:
  RunResult Run() {
    return LaunchOnceMoreIfWineFailed([] { return RunInstaller(GetModuleHandleW(nullptr)); });
  }

  ScratchDirectory scratch_;
  ScopedRegistryValue cleanup_{kVelmoraKey, kCleanupValue};
};

TEST_F(InstallerRunTest, UnsplittableCommandLineEndsWith101AndThePlatformReason) {
  ScopedPlatformOverride<SplitFn> split(&PlatformOverrides::CommandLineToArgvW, &FailingSplit);
  module_path = scratch_ / L"stub.exe";
  ScopedPlatformOverride<ModulePathFn> path(&PlatformOverrides::GetModuleFileNameW,
                                            &FakeModulePath);
  const RunResult result = Run();
  EXPECT_EQ(result.exit_code, RESULT_CONFIGURATION_FAILED);
  EXPECT_EQ(result.extra_code, static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_TRUE(ListDirectory(scratch_.path()).empty());
}

TEST_F(InstallerRunTest, UnusableModulePathFailsWithoutCreatingAnything) {
  const struct {
    const char *label;
    ModulePathFn fake;
    std::wstring path;
    uint32_t exit_code;
  } cases[] = {
      {"no path at all", &NoModulePath, L"", RESULT_WORK_DIR_FAILED},
      {"no backslash", &FakeModulePath, L"ondrel-stub.exe", RESULT_WORK_DIR_FAILED},
      {"cut to 260 characters", &FakeModulePath,
       scratch_.path() + std::wstring(300 - scratch_.path().size(), L'n'), RESULT_PATH_TOO_LONG},
      {"exactly 260 characters", &FakeModulePath,
       scratch_.path() + std::wstring(260 - scratch_.path().size(), L'n'), RESULT_PATH_TOO_LONG},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    module_path = c.path;
    ScopedPlatformOverride<ModulePathFn> path(&PlatformOverrides::GetModuleFileNameW, c.fake);
    const RunResult result = Run();
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.extra_code, 0u);
    EXPECT_TRUE(ListDirectory(scratch_.path()).empty());
  }
}

TEST_F(InstallerRunTest, ModulePathOf259IsAcceptedWhenTheWorkDirectoryStillFits) {
  // 246 characters of directory and a 13-character name: 259 in all. The work directory then
  // takes all 259 characters, so extraction finds no room for "setup.exe" in it.
  std::wstring directory = scratch_.path();
  directory += std::wstring(245 - directory.size(), L'd') + L"\\";
  ASSERT_EQ(directory.size(), 246u);
  ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
  module_path = directory + L"ondrel-st.exe";
  ASSERT_EQ(module_path.size(), 259u);
  cleanup_.SetString(L"0"); // keep the directory, to see where it was made
  ScopedPlatformOverride<ModulePathFn> path(&PlatformOverrides::GetModuleFileNameW,
                                            &FakeModulePath);
  const RunResult result = Run();
  EXPECT_EQ(result.exit_code, RESULT_PATH_TOO_LONG);
  EXPECT_EQ(result.extra_code, 0u);
  const auto made = ListDirectory(directory);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].substr(0, 3), L"QV_");
  EXPECT_EQ((directory + made[0]).size(), 258u);

  // One more character in the directory leaves no room for the work directory's name.
  std::wstring longer = scratch_.path();
  longer += std::wstring(246 - longer.size(), L'e') + L"\\";
  ASSERT_TRUE(CreateDirectoryW(longer.c_str(), nullptr));
  module_path = longer + L"ondrel-s.exe";
  ASSERT_EQ(module_path.size(), 259u);
  const RunResult refused = Run();
  EXPECT_EQ(refused.exit_code, RESULT_PATH_TOO_LONG);
  EXPECT_EQ(refused.extra_code, 0u);
  EXPECT_TRUE(ListDirectory(longer).empty());
}

} // namespace
