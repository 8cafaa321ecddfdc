// SPDX-License-Identifier: Zlib
// A test program for the runner's own test: one test for each way a program can end, picked with
// --gtest_filter.
#include <gtest/gtest.h>
#include <windows.h>

namespace {

// The list's environment reaches the program, over the runner's own.
TEST(KitFixture, Passes) {
  wchar_t value[64] = {};
  GetEnvironmentVariableW(L"KIT_FIXTURE", value, 64);
  EXPECT_STREQ(value, L"set by the list");
}

TEST(KitFixture, Fails) { EXPECT_EQ(2 + 2, 5) << "a failure the runner reports"; }

TEST(KitFixture, Skips) { GTEST_SKIP() << "nothing to test in this place"; }

// On a thread of its own, where GoogleTest's own exception handler does not catch it.
TEST(KitFixture, Crashes) {
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void *) -> DWORD {
        *static_cast<volatile int *>(nullptr) = 1;
        return 0;
      },
      nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
}

// Starts a child that hangs too, so that a time-out shows whether the whole tree was ended.
TEST(KitFixture, Hangs) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=KitFixture.HangsAlone";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child));
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  Sleep(INFINITE);
}

TEST(KitFixture, HangsAlone) { Sleep(INFINITE); }

} // namespace
