// SPDX-License-Identifier: Zlib
#include "run/library_search.h"

#include <gtest/gtest.h>

#include <string>

#include "common/scratch.h"

namespace {

// The probe library leaves "<its path>.loaded" when it is loaded; each copy gets a name of its
// own, since a name already loaded would be handed back without any search.
TEST(LibrarySearchTest, PlantedLibrariesAreFoundByNameOnlyUntilTheSearchIsLimited) {
  ScratchDirectory scratch;
  wchar_t previous_directory[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous_directory), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
  const std::wstring probe = ProgramDirectory() + L"planted-library.dll";
  const std::wstring folders[] = {ProgramDirectory(), scratch.path()};

  for (const bool limited : {false, true}) {
    if (limited) {
      ASSERT_TRUE(LimitLibrarySearchToSystem()) << GetLastError();
    }
    for (const std::wstring &folder : folders) {
      const std::wstring name = std::wstring(L"ondrel-probe-") +
                                (limited ? L"after-" : L"before-") +
                                (folder == scratch.path() ? L"cwd" : L"app") + L".dll";
      SCOPED_TRACE(Narrow(folder + name));
      ASSERT_TRUE(CopyFileW(probe.c_str(), (folder + name).c_str(), FALSE)) << GetLastError();
      const HMODULE loaded = LoadLibraryW(name.c_str());
      EXPECT_EQ(loaded != nullptr, !limited);
      EXPECT_EQ(PathExists(folder + name + L".loaded"), !limited);
      if (loaded != nullptr) {
        FreeLibrary(loaded);
      }
      DeleteFileW((folder + name).c_str());
      DeleteFileW((folder + name + L".loaded").c_str());
    }
  }
  // The system's own libraries are still found by name.
  const HMODULE cabinet = LoadLibraryW(L"cabinet.dll");
  EXPECT_NE(cabinet, nullptr);
  FreeLibrary(cabinet);
  SetCurrentDirectoryW(previous_directory);
}

} // namespace
