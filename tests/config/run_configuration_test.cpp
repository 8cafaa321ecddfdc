// SPDX-License-Identifier: Zlib
#include "config/run_configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/registry.h"
#include "common/scratch.h"
#include "support/platform_seam.h"

namespace {

constexpr wchar_t kMachineVariable[] = L"VelmoraUpdateIsMachine";

// Sets or removes the machine-level variable for one test and removes it afterwards.
class ScopedMachineVariable {
public:
  explicit ScopedMachineVariable(const wchar_t *value) {
    SetEnvironmentVariableW(kMachineVariable, value);
  }
  ~ScopedMachineVariable() { SetEnvironmentVariableW(kMachineVariable, nullptr); }
};

struct SwitchCase {
  const wchar_t *command_line;
  int32_t argc;
  bool system_level;
  bool refused;
  const wchar_t *app_guid;
};

TEST(ParseCommandLine, AppliesSwitchesByWholeArgumentIgnoringCase) {
  const SwitchCase cases[] = {
      {L"stub.exe", 1, false, false, kDefaultAppGuid},
      {L"stub.exe --system-level", 2, true, false, kDefaultAppGuid},
      {L"stub.exe --SYSTEM-LEVEL", 2, true, false, kDefaultAppGuid},
      {L"stub.exe --Cleanup", 2, false, true, kDefaultAppGuid},
      {L"stub.exe --ondrel-FRAME", 2, false, true, kDefaultAppGuid},
      {L"stub.exe x --cleanup y", 4, false, true, kDefaultAppGuid},
      {L"stub.exe --ondrel-sxs", 2, false, false, kSxsAppGuid},
      {L"stub.exe --ondrel-beta --ondrel-dev", 3, false, false, kDevAppGuid},
      {L"stub.exe --ondrel-dev --ondrel-beta", 3, false, false, kBetaAppGuid},
      {L"stub.exe --ondrel-beta --system-level --ondrel-frame", 4, true, true, kBetaAppGuid},
      // The program itself is never a switch, whatever it is called.
      {L"--cleanup", 1, false, false, kDefaultAppGuid},
      {L"--system-level --ondrel-dev", 2, false, false, kDevAppGuid},
      // More than the switch, or a switch with a blank inside one argument, is no switch.
      {L"stub.exe --system-level=1", 2, false, false, kDefaultAppGuid},
      {L"stub.exe \"--cleanup \"", 2, false, false, kDefaultAppGuid},
      {L"stub.exe \"--cleanup --system-level\"", 2, false, false, kDefaultAppGuid},
      {L"stub.exe -cleanup /cleanup --cleanup-", 4, false, false, kDefaultAppGuid},
      // Quotes are removed by the split before the comparison.
      {L"stub.exe \"--cleanup\"", 2, false, true, kDefaultAppGuid},
      {L"stub.exe\t--system-level", 2, true, false, kDefaultAppGuid},
  };
  ScopedMachineVariable unset(nullptr);
  for (const SwitchCase &c : cases) {
    SCOPED_TRACE(Narrow(c.command_line));
    RunConfiguration configuration;
    ASSERT_TRUE(ParseCommandLine(configuration, c.command_line));
    EXPECT_EQ(configuration.command_line, c.command_line);
    EXPECT_NE(configuration.argv, nullptr);
    EXPECT_EQ(configuration.argc, c.argc);
    EXPECT_EQ(configuration.system_level, c.system_level);
    EXPECT_EQ(configuration.refused_switch, c.refused);
    EXPECT_STREQ(configuration.app_guid, c.app_guid);
    EXPECT_TRUE(configuration.cleanup_enabled);
    ResetConfiguration(configuration);
  }
}

TEST(ParseCommandLine, MachineVariableSelectsPerMachineOnlyWhenItIsOne) {
  const struct {
    const wchar_t *value; // null: unset
    bool system_level;
  } cases[] = {
      {L"1", true},     {L"0", false}, {L"10", false}, {L"", false},
      {nullptr, false}, {L"2", false}, {L" 1", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? Narrow(c.value) : std::string("(unset)"));
    ScopedMachineVariable variable(c.value);
    RunConfiguration configuration;
    ASSERT_TRUE(ParseCommandLine(configuration, L"stub.exe"));
    EXPECT_EQ(configuration.system_level, c.system_level);
    ResetConfiguration(configuration);
  }
}

TEST(ParseCommandLine, SystemLevelSwitchStaysSetWhateverTheVariableSays) {
  ScopedMachineVariable variable(L"0");
  RunConfiguration configuration;
  ASSERT_TRUE(ParseCommandLine(configuration, L"stub.exe --system-level"));
  EXPECT_TRUE(configuration.system_level);
  ResetConfiguration(configuration);
}

LPWSTR *WINAPI FailingSplit(LPCWSTR, int *) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(ParseCommandLine, UnsplittableCommandLineFailsWithThePlatformReasonAndNoSwitch) {
  ScopedPlatformOverride split(&PlatformOverrides::CommandLineToArgvW, &FailingSplit);
  ScopedMachineVariable variable(L"1");
  RunConfiguration configuration;
  const wchar_t *line = L"stub.exe --cleanup";
  SetLastError(0);
  EXPECT_FALSE(ParseCommandLine(configuration, line));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(configuration.command_line, line);
  EXPECT_EQ(configuration.argv, nullptr);
  EXPECT_FALSE(configuration.refused_switch);
  // The variable is not consulted once the split failed.
  EXPECT_FALSE(configuration.system_level);

  // The same failure reaches the caller of the whole initialisation.
  {
    RunConfiguration initialised;
    SetLastError(0);
    EXPECT_FALSE(InitializeConfiguration(initialised, GetModuleHandleW(nullptr)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    ResetConfiguration(initialised);
  }
}

TEST(ResetConfiguration, ReleasesTheVectorAndRestoresDefaultsFromAnyState) {
  RunConfiguration configuration;
  ResetConfiguration(configuration); // a fresh configuration is fine too
  ASSERT_TRUE(ParseCommandLine(configuration, L"stub.exe --ondrel-dev --system-level --cleanup"));
  configuration.cleanup_enabled = false;
  ResetConfiguration(configuration);
  EXPECT_EQ(configuration.argv, nullptr);
  EXPECT_EQ(configuration.argc, 0);
  EXPECT_EQ(configuration.command_line, nullptr);
  EXPECT_STREQ(configuration.app_guid, kDefaultAppGuid);
  EXPECT_FALSE(configuration.system_level);
  EXPECT_FALSE(configuration.refused_switch);
  EXPECT_TRUE(configuration.cleanup_enabled);
  EXPECT_EQ(configuration.previous_version, nullptr);
}

// Raw registry contents, as another program may have stored them.
struct StoredValue {
  const char *label;
  DWORD type;
  std::vector<wchar_t> characters;
  DWORD extra_bytes = 0; // an odd trailing byte
};

DWORD ByteSize(const StoredValue &v) {
  return static_cast<DWORD>(v.characters.size() * sizeof(wchar_t)) + v.extra_bytes;
}

void Store(ScopedRegistryValue &value, const StoredValue &v) {
  std::vector<uint8_t> bytes(v.characters.size() * sizeof(wchar_t) + v.extra_bytes, 0x41);
  memcpy(bytes.data(), v.characters.data(), v.characters.size() * sizeof(wchar_t));
  value.SetRaw(v.type, bytes.data(), ByteSize(v));
}

TEST(ReadRegistryString, TakesOnlyStringsThatEndInsideTheBuffer) {
  constexpr wchar_t kSubkey[] = L"Software\\Velmora\\StubTests";
  const struct {
    StoredValue stored;
    size_t capacity;
    bool ok;
    const wchar_t *text;
  } cases[] = {
      {{"terminated", REG_SZ, {'a', 'b', 0}}, 4, true, L"ab"},
      {{"unterminated", REG_SZ, {'a', 'b'}}, 4, true, L"ab"},
      {{"unterminated, fills the buffer", REG_SZ, {'a', 'b', 'c', 'd'}}, 4, false, nullptr},
      {{"terminated, fills the buffer", REG_SZ, {'a', 'b', 'c', 0}}, 4, true, L"abc"},
      {{"larger than the buffer", REG_SZ, {'a', 'b', 'c', 'd', 0}}, 4, false, nullptr},
      {{"early terminator", REG_SZ, {'a', 0, 'b', 0}}, 4, true, L"a"},
      // Only the last character stored tells whether a terminator was stored.
      {{"early NUL, unterminated", REG_SZ, {'a', 0, 'b', 'c'}}, 4, false, nullptr},
      {{"early NUL, room for one", REG_SZ, {'a', 0, 'b'}}, 4, true, L"a"},
      {{"empty with terminator", REG_SZ, {0}}, 4, true, L""},
      {{"zero bytes", REG_SZ, {}}, 4, true, L""},
      {{"one odd byte", REG_SZ, {}, 1}, 4, true, L""},
      {{"odd size, unterminated", REG_SZ, {'a'}, 1}, 4, true, L"a"},
      {{"odd size, terminated", REG_SZ, {'a', 0}, 1}, 4, true, L"a"},
      {{"expandable string", REG_EXPAND_SZ, {'a', 0}}, 4, false, nullptr},
      {{"multi-string", REG_MULTI_SZ, {'a', 0, 0}}, 4, false, nullptr},
      {{"binary", REG_BINARY, {'a', 0}}, 4, false, nullptr},
      {{"number", REG_DWORD, {0, 0}}, 4, false, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.stored.label);
    ScopedRegistryValue value(kSubkey, L"Probe");
    Store(value, c.stored);
    std::vector<wchar_t> buffer(c.capacity + 1, L'#');
    buffer[c.capacity] = L'\0';
    const bool ok =
        ReadRegistryString(HKEY_CURRENT_USER, kSubkey, L"Probe", buffer.data(), c.capacity);
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
      EXPECT_STREQ(buffer.data(), c.text);
    }
    EXPECT_EQ(buffer[c.capacity], L'\0') << "wrote past the capacity";
  }
}

TEST(ReadRegistryString, MissingKeyOrValueIsNoString) {
  ScopedRegistryValue value(L"Software\\Velmora\\StubTests", L"Probe");
  wchar_t buffer[4] = {};
  EXPECT_FALSE(
      ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Velmora\\StubTests", L"Probe", buffer, 4));
  EXPECT_FALSE(
      ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Velmora\\NoSuchKey", L"Probe", buffer, 4));
}

TEST(InitializeConfiguration, CleanupIsDisabledOnlyByTheStringZero) {
  const struct {
    StoredValue stored;
    bool cleanup_enabled;
  } cases[] = {
      {{"\"0\" terminated", REG_SZ, {'0', 0}}, false},
      {{"\"0\" unterminated", REG_SZ, {'0'}}, false},
      {{"\"00\"", REG_SZ, {'0', '0', 0}}, true},
      // No room left for the terminator within the two characters read.
      {{"\"00\" unterminated", REG_SZ, {'0', '0'}}, true},
      {{"\"1\"", REG_SZ, {'1', 0}}, true},
      {{"empty", REG_SZ, {0}}, true},
      {{"number 0", REG_DWORD, {0, 0}}, true},
      {{"expandable \"0\"", REG_EXPAND_SZ, {'0', 0}}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.stored.label);
    ScopedRegistryValue value(kVelmoraKey, kCleanupValue);
    Store(value, c.stored);
    RunConfiguration configuration;
    ASSERT_TRUE(InitializeConfiguration(configuration, GetModuleHandleW(nullptr)));
    EXPECT_EQ(configuration.cleanup_enabled, c.cleanup_enabled);
    ResetConfiguration(configuration);
  }
  ScopedRegistryValue absent(kVelmoraKey, kCleanupValue);
  RunConfiguration configuration;
  ASSERT_TRUE(InitializeConfiguration(configuration, GetModuleHandleW(nullptr)));
  EXPECT_TRUE(configuration.cleanup_enabled);
  EXPECT_EQ(configuration.command_line, GetCommandLineW());
  ResetConfiguration(configuration);
}

TEST(InitializeConfiguration, CleanupSettingOfEveryTypeAndSize) {
  // "0" and then NULs, cut to each size. As a string, the two to four bytes that hold a "0" within
  // the two characters read disable cleanup; no other type is ever a string.
  const struct {
    size_t size;
    bool disables_as_string;
  } sizes[] = {{0, false}, {1, false}, {2, true}, {3, true}, {4, true}, {5, false}, {65536, false}};
  for (const DWORD type : kEveryValueType) {
    for (const auto &s : sizes) {
      SCOPED_TRACE(testing::Message() << "type " << type << ", " << s.size << " bytes");
      ScopedRegistryValue value(kVelmoraKey, kCleanupValue);
      value.Set(ValueData::Filled(type, std::wstring(L"0\0", 2), s.size));
      RunConfiguration configuration;
      ASSERT_TRUE(InitializeConfiguration(configuration, GetModuleHandleW(nullptr)));
      EXPECT_EQ(configuration.cleanup_enabled, !(type == REG_SZ && s.disables_as_string));
      ResetConfiguration(configuration);
    }
  }
}

// A copy of the stub whose RT_RCDATA 1 holds exactly the given bytes, loaded for its resources.
class ModuleWithVersionResource {
public:
  explicit ModuleWithVersionResource(const std::vector<uint8_t> *bytes) {
    const std::wstring path = scratch_ / L"patch-stub.exe";
    EXPECT_TRUE(CopyFileW((ProgramDirectory() + L"ondrel-stub.exe").c_str(), path.c_str(), FALSE));
    if (bytes != nullptr) {
      HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
      EXPECT_NE(update, nullptr);
      EXPECT_TRUE(UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(1),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  const_cast<uint8_t *>(bytes->data()),
                                  static_cast<DWORD>(bytes->size())));
      EXPECT_TRUE(EndUpdateResourceW(update, FALSE));
    }
    module_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EXPECT_NE(module_, nullptr) << GetLastError();
  }
  ~ModuleWithVersionResource() { FreeLibrary(module_); }
  HMODULE module() const { return module_; }

private:
  ScratchDirectory scratch_;
  HMODULE module_ = nullptr;
};

std::vector<uint8_t> Utf16(const std::wstring &text, bool with_nul, bool odd_byte = false) {
  std::vector<uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (with_nul) {
    bytes.insert(bytes.end(), {0, 0});
  }
  if (odd_byte) {
    bytes.push_back(0);
  }
  return bytes;
}

TEST(InitializeConfiguration, PreviousVersionIsTakenOnlyFromATerminatedEvenSizedResource) {
  const auto terminated = Utf16(L"1.2.3", true);    // 12 bytes
  const auto unterminated = Utf16(L"1.2.3", false); // 10 bytes
  const auto odd = Utf16(L"1.2.3", true, true);     // 13 bytes
  const auto lone_nul = Utf16(L"", true);           // 2 bytes: an empty version
  const struct {
    const char *label;
    const std::vector<uint8_t> *bytes;
    const wchar_t *version;
  } cases[] = {
      {"terminated", &terminated, L"1.2.3"}, {"unterminated", &unterminated, nullptr},
      {"odd size", &odd, nullptr},           {"lone NUL", &lone_nul, L""},
      {"no resource", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ModuleWithVersionResource module(c.bytes);
    RunConfiguration configuration;
    ASSERT_TRUE(InitializeConfiguration(configuration, module.module()));
    if (c.version == nullptr) {
      EXPECT_EQ(configuration.previous_version, nullptr);
    } else {
      ASSERT_NE(configuration.previous_version, nullptr);
      EXPECT_STREQ(configuration.previous_version, c.version);
      // It points into the mapped resource itself, not into a copy.
      HRSRC info = FindResourceW(module.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10));
      EXPECT_EQ(configuration.previous_version, LockResource(LoadResource(module.module(), info)));
    }
    ResetConfiguration(configuration);
  }
}

} // namespace
