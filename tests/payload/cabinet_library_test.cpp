// SPDX-License-Identifier: Zlib
// The cabinet library is process-wide state, loaded once and kept, so each case here needs a
// process of its own: CTest starts this program once per case, with a filter.
#include "payload/cabinet_expansion.h"

#include <gtest/gtest.h>

#include <string>

#include "common/scratch.h"

namespace {

std::wstring LoadedCabinetLibraryPath() {
  const HMODULE module = GetModuleHandleW(L"cabinet.dll");
  if (module == nullptr) {
    return L"";
  }
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return path;
}

std::wstring SystemLibraryPath() {
  wchar_t directory[MAX_PATH + 1] = {};
  GetSystemDirectoryW(directory, MAX_PATH);
  return std::wstring(directory) + L"\\cabinet.dll";
}

class CabinetLibraryTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (GetModuleHandleW(L"cabinet.dll") != nullptr) {
      GTEST_SKIP() << "cabinet.dll is already loaded: run each case in a fresh process";
    }
  }

  bool ExpandOnce() {
    const std::wstring source = scratch_ / L"SETUP.EX_";
    WriteTextFile(source, ReadFileBytes(ProgramDirectory() + L"test-data\\mszip.cab"));
    PathBuffer destination;
    destination.Assign((scratch_ / L"setup.exe").c_str());
    const bool expanded = ExpandCabinet(source.c_str(), destination);
    RemoveTree(destination.text);
    return expanded;
  }

  // A Windows folder whose cabinet.dll is no library at all: loading it fails.
  std::wstring PlantBrokenLibrary() {
    const std::wstring windows = scratch_ / L"planted";
    CreateDirectories(windows + L"\\system32");
    WriteTextFile(windows + L"\\system32\\cabinet.dll", "not a library");
    return windows;
  }

  ScratchDirectory scratch_;
};

TEST_F(CabinetLibraryTest, LoadedOnceAndKept) {
  ASSERT_TRUE(ExpandOnce());
  ASSERT_TRUE(ExpandOnce());
  EXPECT_EQ(CompareStringOrdinal(LoadedCabinetLibraryPath().c_str(), -1,
                                 SystemLibraryPath().c_str(), -1, TRUE),
            CSTR_EQUAL)
      << Narrow(LoadedCabinetLibraryPath());
  // Two expansions took one reference: giving it back unloads the library.
  FreeLibrary(GetModuleHandleW(L"cabinet.dll"));
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
}

TEST_F(CabinetLibraryTest, TakesTheWindowsFolderFirst) {
  const std::wstring windows = scratch_ / L"windows";
  CreateDirectories(windows + L"\\system32");
  const std::wstring copy = windows + L"\\system32\\cabinet.dll";
  ASSERT_TRUE(CopyFileW(SystemLibraryPath().c_str(), copy.c_str(), TRUE)) << GetLastError();
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", windows.c_str()));
  ASSERT_TRUE(ExpandOnce());
  EXPECT_EQ(CompareStringOrdinal(LoadedCabinetLibraryPath().c_str(), -1, copy.c_str(), -1, TRUE),
            CSTR_EQUAL)
      << Narrow(LoadedCabinetLibraryPath());
}

TEST_F(CabinetLibraryTest, FallsBackToTheSystemRoot) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", PlantBrokenLibrary().c_str()));
  ASSERT_TRUE(ExpandOnce());
  EXPECT_EQ(CompareStringOrdinal(LoadedCabinetLibraryPath().c_str(), -1,
                                 SystemLibraryPath().c_str(), -1, TRUE),
            CSTR_EQUAL)
      << Narrow(LoadedCabinetLibraryPath());
}

TEST_F(CabinetLibraryTest, FallsBackToTheFixedPathWhenNeitherVariableServes) {
  // An expansion that does not fit 260 characters is not even tried.
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", (L"C:\\" + std::wstring(300, L'w')).c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"SYSTEMROOT", PlantBrokenLibrary().c_str()));
  ASSERT_TRUE(ExpandOnce());
  EXPECT_EQ(CompareStringOrdinal(LoadedCabinetLibraryPath().c_str(), -1,
                                 L"C:\\Windows\\system32\\cabinet.dll", -1, TRUE),
            CSTR_EQUAL)
      << Narrow(LoadedCabinetLibraryPath());
}

} // namespace
