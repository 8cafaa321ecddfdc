// SPDX-License-Identifier: Zlib
#include "workdir/work_directory.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/scratch.h"
#include "support/platform_seam.h"

namespace {

// What the overrides below saw, and the random bytes they hand out in turn.
struct Observed {
  std::vector<std::vector<uint8_t>> draws; // cycled through; empty: the draw fails
  size_t draw_calls = 0;
  int token_opens = 0;
  int volume_queries = 0;
  std::vector<bool> create_had_security;
};
Observed observed;

BOOLEAN WINAPI ChosenRandom(PVOID buffer, ULONG length) {
  const size_t index = observed.draw_calls++;
  if (observed.draws.empty()) {
    return FALSE;
  }
  const auto &bytes = observed.draws[index % observed.draws.size()];
  if (bytes.empty()) {
    return FALSE;
  }
  memcpy(buffer, bytes.data(), length);
  return TRUE;
}

BOOL WINAPI CountingOpenToken(HANDLE process, DWORD access, PHANDLE token) {
  ++observed.token_opens;
  return ::OpenProcessToken(process, access, token);
}

BOOL WINAPI DeniedToken(HANDLE, DWORD, PHANDLE) {
  ++observed.token_opens;
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  observed.create_had_security.push_back(security != nullptr);
  return ::CreateDirectoryW(path, security);
}

BOOL WINAPI CountingVolumePath(LPCWSTR path, LPWSTR root, DWORD size) {
  ++observed.volume_queries;
  return ::GetVolumePathNameW(path, root, size);
}

BOOL WINAPI NoVolumeRoot(LPCWSTR, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI VolumeWithoutAccessLists(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD flags,
                                     LPWSTR, DWORD) {
  *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK; // as FAT32 reports
  return TRUE;
}

BOOL WINAPI NoVolumeInformation(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD) {
  SetLastError(ERROR_NOT_READY);
  return FALSE;
}

class WorkDirectoryTest : public ::testing::Test {
protected:
  void SetUp() override { observed = Observed{}; }

  // Installs every observing override at once; individual tests replace some of them.
  using RandomFn = decltype(PlatformOverrides::SystemFunction036);
  using TokenFn = decltype(PlatformOverrides::OpenProcessToken);
  using CreateFn = decltype(PlatformOverrides::CreateDirectoryW);
  using VolumePathFn = decltype(PlatformOverrides::GetVolumePathNameW);
  ScopedPlatformOverride<RandomFn> random_{&PlatformOverrides::SystemFunction036, &ChosenRandom};
  ScopedPlatformOverride<TokenFn> token_{&PlatformOverrides::OpenProcessToken, &CountingOpenToken};
  ScopedPlatformOverride<CreateFn> create_{&PlatformOverrides::CreateDirectoryW,
                                           &RecordingCreateDirectory};
  ScopedPlatformOverride<VolumePathFn> volume_{&PlatformOverrides::GetVolumePathNameW,
                                               &CountingVolumePath};
  ScratchDirectory scratch_;
};

TEST_F(WorkDirectoryTest, NameComesFromTheFirstFiveDigitsOfTheRandomBytes) {
  observed.draws = {{0x1F, 0x3A, 0x9C, 0x42}};
  PathBuffer path;
  RunResult result = {1, 1};
  ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.extra_code, 0u);
  EXPECT_EQ(std::wstring(path.text), scratch_.path() + L"QV_1F3A9.tmp\\");
  EXPECT_TRUE(IsDirectory(path.text));
  EXPECT_EQ(observed.draw_calls, 1u);
  EXPECT_EQ(observed.create_had_security, std::vector<bool>{true});
}

TEST_F(WorkDirectoryTest, RealRandomNamesAreFreshDirectoriesOfTheRightShape) {
  RestoreAllPlatformCalls();
  for (int i = 0; i < 3; ++i) {
    PathBuffer path;
    RunResult result;
    ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
    const std::wstring text = path.text;
    ASSERT_EQ(text.size(), scratch_.path().size() + 13);
    const std::wstring name = text.substr(scratch_.path().size());
    EXPECT_EQ(name.back(), L'\\');
    EXPECT_TRUE(IsWorkDirectoryName(name.substr(0, 12))) << Narrow(name);
  }
  EXPECT_EQ(ListDirectory(scratch_.path()).size(), 3u);
}

TEST_F(WorkDirectoryTest, TakenNamesCostAnAttemptEachAndTheFifthSucceeds) {
  observed.draws = {{0x00, 0x01, 0x00, 0},
                    {0x00, 0x02, 0x00, 0},
                    {0x00, 0x03, 0x00, 0},
                    {0x00, 0x04, 0x00, 0},
                    {0x00, 0x05, 0x00, 0}};
  for (const wchar_t *taken : {L"QV_00010.tmp", L"QV_00020.tmp", L"QV_00030.tmp"}) {
    ASSERT_TRUE(CreateDirectoryW((scratch_ / taken).c_str(), nullptr));
  }
  WriteTextFile(scratch_ / L"QV_00040.tmp", "a file takes the name as well");
  PathBuffer path;
  RunResult result;
  ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  EXPECT_EQ(std::wstring(path.text), scratch_.path() + L"QV_00050.tmp\\");
  EXPECT_EQ(observed.draw_calls, 5u);
}

TEST_F(WorkDirectoryTest, TenFailedAttemptsGive109WithoutAnErrorCode) {
  const struct {
    const char *label;
    std::vector<std::vector<uint8_t>> draws;
  } cases[] = {
      {"the same taken name every time", {{0xAB, 0xCD, 0xEF, 0x01}}},
      {"every draw fails", {}},
      {"nine draws fail, the tenth gives a taken name",
       {{}, {}, {}, {}, {}, {}, {}, {}, {}, {0xAB, 0xCD, 0xEF, 0x01}}},
  };
  ASSERT_TRUE(CreateDirectoryW((scratch_ / L"QV_ABCDE.tmp").c_str(), nullptr));
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    observed = Observed{};
    observed.draws = c.draws;
    PathBuffer path;
    RunResult result;
    EXPECT_FALSE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
    EXPECT_EQ(result.exit_code, RESULT_WORK_DIR_FAILED);
    EXPECT_EQ(result.extra_code, 0u);
    EXPECT_EQ(observed.draw_calls, 10u);
    EXPECT_EQ(ListDirectory(scratch_.path()), std::vector<std::wstring>{L"QV_ABCDE.tmp"});
  }
}

TEST_F(WorkDirectoryTest, AFailedDrawCostsOneAttemptOnly) {
  observed.draws = {{}, {}, {0x12, 0x34, 0x56, 0x78}};
  PathBuffer path;
  RunResult result;
  ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  EXPECT_EQ(std::wstring(path.text), scratch_.path() + L"QV_12345.tmp\\");
  EXPECT_EQ(observed.create_had_security.size(), 1u) << "no directory call for a failed draw";
}

// A parent of exactly `length` characters, ending in a backslash, made of real directories.
std::wstring MakeParentOfLength(const std::wstring &base, size_t length) {
  std::wstring parent = base;
  while (parent.size() < length) {
    const size_t room = length - parent.size();
    // Components of at most 100 characters with their backslash, never leaving a remainder
    // too short to be a component of its own.
    const size_t take = room > 100 ? std::min<size_t>(100, room - 2) : room;
    parent += std::wstring(take - 1, L'd') + L"\\";
    CreateDirectoryW(parent.c_str(), nullptr);
  }
  return parent;
}

TEST_F(WorkDirectoryTest, ParentOf246FitsExactlyAnd247IsRefusedBeforeAnyPlatformCall) {
  observed.draws = {{0x24, 0x60, 0x00, 0x00}};
  const std::wstring fits = MakeParentOfLength(scratch_.path(), 246);
  ASSERT_EQ(fits.size(), 246u);
  ASSERT_TRUE(IsDirectory(fits));
  PathBuffer path;
  RunResult result;
  ASSERT_TRUE(MakeWorkDirectory(fits.c_str(), path, result));
  EXPECT_EQ(std::wstring(path.text), fits + L"QV_24600.tmp\\");
  EXPECT_EQ(path.Length(), 259u);
  EXPECT_TRUE(IsDirectory(path.text));

  const struct {
    const char *label;
    std::wstring parent;
  } refused[] = {
      {"247 characters", std::wstring(246, L'p') + L"\\"},
      {"256: QV_ fits, the name does not", std::wstring(255, L'p') + L"\\"},
      {"257: QV_ leaves no NUL", std::wstring(256, L'p') + L"\\"},
      {"300 characters", std::wstring(299, L'p') + L"\\"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.label);
    observed = Observed{};
    PathBuffer refused_path;
    RunResult refused_result = {0, 0};
    EXPECT_FALSE(MakeWorkDirectory(c.parent.c_str(), refused_path, refused_result));
    EXPECT_EQ(refused_result.exit_code, RESULT_PATH_TOO_LONG);
    EXPECT_EQ(refused_result.extra_code, 0u);
    EXPECT_EQ(observed.volume_queries, 0);
    EXPECT_EQ(observed.token_opens, 0);
    EXPECT_EQ(observed.draw_calls, 0u);
    EXPECT_TRUE(observed.create_had_security.empty());
  }
}

TEST_F(WorkDirectoryTest, VolumesWithoutAccessListsGetDefaultSecurityWithoutTheToken) {
  using InfoFn = decltype(PlatformOverrides::GetVolumeInformationW);
  const struct {
    const char *label;
    VolumePathFn volume_path;
    InfoFn information;
  } cases[] = {
      {"no access lists (FAT)", &CountingVolumePath, &VolumeWithoutAccessLists},
      {"no volume information", &CountingVolumePath, &NoVolumeInformation},
      {"no volume root", &NoVolumeRoot, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    observed = Observed{};
    observed.draws = {{0x77, 0x77, 0x70, 0}};
    ScopedPlatformOverride<VolumePathFn> root(&PlatformOverrides::GetVolumePathNameW,
                                              c.volume_path);
    ScopedPlatformOverride<InfoFn> info(&PlatformOverrides::GetVolumeInformationW, c.information);
    PathBuffer path;
    RunResult result;
    ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
    EXPECT_EQ(observed.token_opens, 0);
    EXPECT_EQ(observed.create_had_security, std::vector<bool>{false});
    RemoveDirectoryW((scratch_ / L"QV_77777.tmp").c_str());
  }
}

TEST_F(WorkDirectoryTest, TokenThatCannotBeOpenedGives117WithItsError) {
  ScopedPlatformOverride<TokenFn> denied(&PlatformOverrides::OpenProcessToken, &DeniedToken);
  PathBuffer path;
  RunResult result;
  EXPECT_FALSE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  EXPECT_EQ(result.exit_code, RESULT_WORK_DIR_ACL_FAILED);
  EXPECT_EQ(result.extra_code, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(observed.draw_calls, 0u);
  EXPECT_TRUE(ListDirectory(scratch_.path()).empty());
}

std::wstring OwnerSidOfThisProcess() {
  HANDLE token = nullptr;
  EXPECT_TRUE(::OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<uint8_t> buffer(512);
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token, TokenOwner, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &size));
  CloseHandle(token);
  LPWSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER *>(buffer.data())->Owner, &text));
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

// The descriptor the design fixes, from its text through the platform's own conversion: the
// independent expectation for what the stub builds and for what a real directory stores.
PSECURITY_DESCRIPTOR DocumentedDescriptor(const std::wstring &owner) {
  const std::wstring text =
      L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)"
      L"(A;;FA;;;" +
      owner + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  return descriptor;
}

TEST_F(WorkDirectoryTest, DescriptorIsTheProtectedSixEntryListEndingWithTheTokenOwner) {
  const std::wstring owner = OwnerSidOfThisProcess();
  LPWSTR sid = nullptr;
  ASSERT_TRUE(GetTokenOwnerSidString(&sid));
  EXPECT_EQ(std::wstring(sid), owner);
  LocalFree(sid);

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(BuildWorkDirSecurity(scratch_.path().c_str(), &descriptor));
  ASSERT_NE(descriptor, nullptr);
  // The same descriptor as the documented text gives, entry for entry; compared in binary
  // form because the text form may list the inheritance flags in another order.
  PSECURITY_DESCRIPTOR expected = DocumentedDescriptor(owner);
  ASSERT_NE(expected, nullptr);
  const DWORD length = GetSecurityDescriptorLength(descriptor);
  ASSERT_EQ(length, GetSecurityDescriptorLength(expected));
  EXPECT_EQ(memcmp(descriptor, expected, length), 0);
  LocalFree(expected);

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);
  EXPECT_NE(control & SE_DACL_AUTO_INHERITED, 0);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);
  ASSERT_EQ(dacl->AceCount, 6);
  ACCESS_ALLOWED_ACE *last = nullptr;
  ASSERT_TRUE(GetAce(dacl, 5, reinterpret_cast<void **>(&last)));
  LPWSTR last_sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<PSID>(&last->SidStart), &last_sid));
  EXPECT_EQ(std::wstring(last_sid), owner);
  EXPECT_EQ(last->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
  LocalFree(last_sid);
  LocalFree(descriptor);
}

bool HasEntryForEveryone(const std::wstring &directory) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &descriptor),
            ERROR_SUCCESS);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  bool found = false;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE *ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void **>(&ace)) &&
        EqualSid(reinterpret_cast<PSID>(&ace->SidStart), everyone)) {
      found = true;
    }
  }
  FreeSid(everyone);
  LocalFree(descriptor);
  return found;
}

// Wine keeps only Unix permission bits for a directory, so the list read back is derived from
// them: this proves that nobody else gains access, not that all six entries were stored.
TEST_F(WorkDirectoryTest, CreatedDirectoryGivesOthersNoAccessUnlikeADefaultOne) {
  RestoreAllPlatformCalls();
  PathBuffer path;
  RunResult result;
  ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  EXPECT_FALSE(HasEntryForEveryone(path.text));

  const std::wstring plain = scratch_ / L"default";
  ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
  EXPECT_TRUE(HasEntryForEveryone(plain)) << "the comparison proves nothing on this system";
}

} // namespace

namespace {

// Wine keeps a directory's security only as Unix permission bits and reads back entries derived
// from them, so there this test can only say so and skip; on Windows it reads back what is stored.
TEST_F(WorkDirectoryTest, RealDirectoryReadsBackAsTheProtectedSixEntryListEndingWithTheOwner) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    GTEST_SKIP() << "Wine does not store access lists; the effect it shows is tested above";
  }
  RestoreAllPlatformCalls();
  PathBuffer path;
  RunResult result;
  ASSERT_TRUE(MakeWorkDirectory(scratch_.path().c_str(), path, result));
  PSECURITY_DESCRIPTOR read_back = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(path.text, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &read_back),
            ERROR_SUCCESS);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(read_back, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0);

  PSECURITY_DESCRIPTOR expected = DocumentedDescriptor(OwnerSidOfThisProcess());
  ASSERT_NE(expected, nullptr);
  BOOL present = FALSE, defaulted = FALSE;
  PACL expected_dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(expected, &present, &expected_dacl, &defaulted));
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, expected_dacl->AceCount);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER *stored = nullptr, *wanted = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&stored)));
    ASSERT_TRUE(GetAce(expected_dacl, i, reinterpret_cast<void **>(&wanted)));
    ASSERT_EQ(stored->AceSize, wanted->AceSize) << i;
    EXPECT_EQ(memcmp(stored, wanted, stored->AceSize), 0) << "entry " << i;
  }
  LocalFree(expected);
  LocalFree(read_back);
}

} // namespace
