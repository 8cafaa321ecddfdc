// SPDX-License-Identifier: Zlib
// The resources of the bare stub and of stubs packed by tools/pack-stub, read back the way the
// platform reads them (loader, version and cabinet libraries) and straight from the resource
// directory of the mapped file; and their image checksums, as the platform computes them.
#include <windows.h>

#include <imagehlp.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/resource_module.h"
#include "common/scratch.h"

// The upper-case mapping FindResourceW applies to a name before it looks it up.
extern "C" __declspec(dllimport) WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR unit);

namespace {

const std::wstring kBin = ProgramDirectory();
const std::wstring kData = kBin + L"stub-resources\\";

// Resource types and names as text: strings as stored, integer identifiers as "#<number>".
std::wstring IdText(const wchar_t *id) {
  return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id))
                            : std::wstring(id);
}
const wchar_t *IdPointer(const std::wstring &text) {
  return text[0] == L'#' ? MAKEINTRESOURCEW(std::stoi(text.substr(1))) : text.c_str();
}

struct ResourceKey {
  std::wstring type;
  std::wstring name;
  auto operator<=>(const ResourceKey &) const = default;
};

struct ResourceLeaf {
  std::vector<WORD> languages;
  std::string data; // of the first language
};

class StubImage : public ResourceModule {
public:
  using ResourceModule::ResourceModule;

  // Through FindResourceExW in language 1033; nullopt when the loader finds nothing.
  std::optional<std::string> Load(const wchar_t *type, const wchar_t *name) const {
    return Read(FindResourceExW(module_, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
  }
  // Through FindResourceW, in whichever language the loader picks.
  std::optional<std::string> LoadAnyLanguage(const wchar_t *type, const wchar_t *name) const {
    return Read(FindResourceW(module_, name, type));
  }

  // Every type, name and language in the resource directory, names exactly as stored. The loader
  // upper-cases a name before looking it up, so names stored in lower case can only be read
  // this way.
  std::map<ResourceKey, ResourceLeaf> Directory() const {
    std::map<ResourceKey, ResourceLeaf> found;
    const auto *base =
        reinterpret_cast<const BYTE *>(reinterpret_cast<ULONG_PTR>(module_) & ~ULONG_PTR{3});
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    if (entry.VirtualAddress == 0) {
      return found;
    }
    const BYTE *root = base + entry.VirtualAddress;
    for (const auto &type : Entries(root, 0)) {
      for (const auto &name : Entries(root, type.OffsetToDirectory)) {
        ResourceLeaf &leaf = found[{EntryText(root, type), EntryText(root, name)}];
        for (const auto &language : Entries(root, name.OffsetToDirectory)) {
          EXPECT_FALSE(language.DataIsDirectory);
          const auto *data =
              reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY *>(root + language.OffsetToData);
          if (leaf.languages.empty()) {
            leaf.data.assign(reinterpret_cast<const char *>(base + data->OffsetToData), data->Size);
          }
          leaf.languages.push_back(language.Id);
        }
      }
    }
    return found;
  }

private:
  std::optional<std::string> Read(HRSRC found) const {
    if (found == nullptr) {
      return std::nullopt;
    }
    const DWORD size = SizeofResource(module_, found);
    HGLOBAL loaded = LoadResource(module_, found);
    const void *data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (size != 0 && data == nullptr) {
      return std::nullopt;
    }
    return std::string(static_cast<const char *>(data), size);
  }

  static std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> Entries(const BYTE *root, DWORD offset) {
    const auto *directory = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY *>(root + offset);
    const auto *first = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY *>(directory + 1);
    return {first, first + directory->NumberOfNamedEntries + directory->NumberOfIdEntries};
  }

  static std::wstring EntryText(const BYTE *root, const IMAGE_RESOURCE_DIRECTORY_ENTRY &entry) {
    if (!entry.NameIsString) {
      return L"#" + std::to_wstring(entry.Id);
    }
    const auto *text =
        reinterpret_cast<const IMAGE_RESOURCE_DIR_STRING_U *>(root + entry.NameOffset);
    return std::wstring(text->NameString, text->Length);
  }
};

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  reinterpret_cast<std::vector<std::wstring> *>(names)->push_back(IdText(name));
  return TRUE;
}
BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
  reinterpret_cast<std::vector<WORD> *>(languages)->push_back(language);
  return TRUE;
}

// The names EnumResourceNamesW reports for one type, sorted; empty when the type is absent.
std::vector<std::wstring> NamesOf(const StubImage &stub, const wchar_t *type) {
  std::vector<std::wstring> names;
  EnumResourceNamesW(stub.module(), type, CollectName, reinterpret_cast<LONG_PTR>(&names));
  std::sort(names.begin(), names.end());
  return names;
}

bool IsLower(wchar_t c) { return c >= L'a' && c <= L'z'; }

template <typename T> T Read(const std::string &bytes, size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) {
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
  }
  return value;
}

const std::wstring kName259 = [] {
  std::wstring name = L"L";
  for (int i = 0; i < 129; ++i) {
    name += L"aB";
  }
  return name;
}();
const std::wstring kName300 = [] {
  std::wstring name;
  for (int i = 0; i < 75; ++i) {
    name += L"Name";
  }
  return name;
}();

std::wstring FromUtf8(const std::string &text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                  static_cast<int>(text.size()), wide.data(),
                                  static_cast<int>(wide.size())));
  return wide;
}

// The further resources of mixed.exe as given to the packer, each with the bytes it was packed
// from (mixed\<index>.bin, counting entries only).
struct GivenResource {
  std::string line;
  std::wstring type;
  std::wstring name;
  std::string data;
};

std::vector<GivenResource> MixedCaseResources() {
  std::vector<GivenResource> given;
  std::istringstream lines(ReadFileBytes(kData + L"mixed-case-resources.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const size_t space = line.find(' ');
    given.push_back({line, FromUtf8(line.substr(0, space)), FromUtf8(line.substr(space + 1)),
                     ReadFileBytes(kData + L"mixed\\" + std::to_wstring(given.size()) + L".bin")});
  }
  return given;
}

// Digits only are an integer identifier, as the packer reads its arguments.
bool IsInteger(const std::wstring &id) {
  return id.find_first_not_of(L"0123456789") == std::wstring::npos;
}
const wchar_t *GivenPointer(const std::wstring &id) {
  return IsInteger(id) ? MAKEINTRESOURCEW(std::stoi(id)) : id.c_str();
}
// As the directory must store it for the loader to find it.
std::wstring Stored(const std::wstring &id) {
  if (IsInteger(id)) {
    return L"#" + std::to_wstring(std::stoi(id));
  }
  std::wstring upper = id;
  for (wchar_t &unit : upper) {
    unit = RtlUpcaseUnicodeChar(unit);
  }
  return upper;
}

// Present in every stub; their content is checked by the tests below, not by file.
const std::vector<ResourceKey> kStandard = {
    {L"#3", L"#1"}, {L"#14", L"#107"}, {L"#16", L"#1"}, {L"#24", L"#1"}};

struct PayloadEntry {
  ResourceKey key;
  std::optional<std::string> content; // nullopt: compared elsewhere (the cabinet)
};

struct Stub {
  const char *label;
  std::wstring path;
  std::vector<PayloadEntry> payload;
};

std::vector<Stub> Stubs() {
  const std::string archive = ReadFileBytes(kData + L"archive.bin");
  const std::string patch = ReadFileBytes(kData + L"patch.bin");
  const std::string rcdata = ReadFileBytes(kData + L"rcdata.bin");
  Stub mixed{"mixed",
             kData + L"mixed.exe",
             {{{L"B7", L"ONDREL.PACKED.7Z"}, archive}, {{L"BL", L"SETUP.EX_"}, std::nullopt}}};
  for (const GivenResource &r : MixedCaseResources()) {
    mixed.payload.push_back({{Stored(r.type), Stored(r.name)}, r.data});
  }
  return {
      {"bare", kBin + L"ondrel-stub.exe", {}},
      {"full",
       kData + L"full.exe",
       {{{L"B7", L"ONDREL.PACKED.7Z"}, archive}, {{L"BL", L"SETUP.EX_"}, std::nullopt}}},
      {"patch",
       kData + L"patch.exe",
       {{{L"B7", L"ONDREL.PACKED.7Z"}, archive},
        {{L"B7", L"SETUP.PATCH"}, patch},
        {{L"#10", L"#1"}, Utf16Bytes(std::wstring(L"2.0 \u03b2") + L'\0')}}},
      {"odd",
       kData + L"odd.exe",
       {{{L"BL", L"SETUP.EX_"}, ReadFileBytes(kData + L"cabinet.bin")},
        {{L"#10", L"#1"}, rcdata},
        {{L"B7", L"ondrel.lower.7z"}, archive},
        {{L"B7", L"Setup.Mixed"}, patch},
        {{L"B7", L"EMPTY"}, std::string()},
        {{L"BL", L"setup.ex_"}, std::string()},
        {{L"B7", kName259}, patch},
        {{L"B7", kName259 + L"x"}, rcdata},
        {{L"B7", kName300}, archive},
        {{L"#10", L"#7"}, patch},
        {{L"#300", L"Custom.Name"}, archive},
        {{L"custom", L"#42"}, rcdata},
        {{L"B7", L"#12"}, rcdata}}},
      mixed,
  };
}

TEST(StubResourcesTest, DirectoryHoldsExactlyTheStandardResourcesAndThePayload) {
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    StubImage image(stub.path);
    const auto directory = image.Directory();

    std::vector<ResourceKey> expected = kStandard;
    for (const PayloadEntry &entry : stub.payload) {
      expected.push_back(entry.key);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<ResourceKey> actual;
    for (const auto &[key, leaf] : directory) {
      actual.push_back(key);
      EXPECT_EQ(leaf.languages, std::vector<WORD>{1033}) << Narrow(key.type + L"/" + key.name);
    }
    EXPECT_EQ(actual, expected);

    for (const PayloadEntry &entry : stub.payload) {
      const auto found = directory.find(entry.key);
      if (entry.content && found != directory.end()) {
        EXPECT_EQ(found->second.data, *entry.content)
            << Narrow(entry.key.type + L"/" + entry.key.name);
      }
    }
  }
}

TEST(StubResourcesTest, LoaderFindsEveryResourceNotNamedInLowerCaseInLanguage1033) {
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    StubImage image(stub.path);
    for (const auto &[key, leaf] : image.Directory()) {
      const bool lower_case = std::any_of(key.type.begin(), key.type.end(), IsLower) ||
                              std::any_of(key.name.begin(), key.name.end(), IsLower);
      if (lower_case) {
        continue;
      }
      std::vector<WORD> languages;
      EnumResourceLanguagesW(image.module(), IdPointer(key.type), IdPointer(key.name),
                             CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
      EXPECT_EQ(languages, std::vector<WORD>{1033}) << Narrow(key.type + L"/" + key.name);
      const auto loaded = image.Load(IdPointer(key.type), IdPointer(key.name));
      ASSERT_TRUE(loaded.has_value()) << Narrow(key.type + L"/" + key.name);
      EXPECT_EQ(*loaded, leaf.data) << Narrow(key.type + L"/" + key.name);
    }
  }
}

TEST(StubResourcesTest, MixedCaseResourcesAreFoundAsGivenAndListedInThePlatformsUpperCase) {
  const std::vector<GivenResource> given = MixedCaseResources();
  ASSERT_GE(given.size(), 30u);
  StubImage image(kData + L"mixed.exe");
  StubImage bare(kBin + L"ondrel-stub.exe");
  // By type as stored: the spellings it was given in and the names it must list.
  std::map<std::wstring, std::pair<std::set<std::wstring>, std::vector<std::wstring>>> types;
  for (const GivenResource &r : given) {
    const auto loaded = image.LoadAnyLanguage(GivenPointer(r.type), GivenPointer(r.name));
    EXPECT_TRUE(loaded == r.data) << r.line << (loaded ? ": other bytes" : ": not found");
    auto &[spellings, names] = types[Stored(r.type)];
    spellings.insert(r.type);
    names.push_back(Stored(r.name));
  }
  for (auto &[type, expected] : types) {
    auto &[spellings, names] = expected;
    const auto own = NamesOf(bare, GivenPointer(*spellings.begin()));
    names.insert(names.end(), own.begin(), own.end());
    std::sort(names.begin(), names.end());
    for (const std::wstring &spelling : spellings) {
      EXPECT_EQ(NamesOf(image, GivenPointer(spelling)), names);
    }
  }
}

TEST(StubResourcesTest, ChecksumIsTheOneThePlatformComputes) {
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    DWORD stored = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(stub.path.c_str(), &stored, &computed),
              static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_NE(computed, 0u);
    EXPECT_EQ(stored, computed);
  }
}

TEST(StubResourcesTest, PayloadSlotsListTheirNamesInExactCase) {
  struct Case {
    const char *label;
    std::wstring path;
    std::vector<std::wstring> b7;
    std::vector<std::wstring> bl;
  };
  std::vector<std::wstring> odd_b7 = {L"EMPTY", L"Setup.Mixed",     kName259, kName259 + L"x",
                                      kName300, L"ondrel.lower.7z", L"#12"};
  std::sort(odd_b7.begin(), odd_b7.end());
  const Case cases[] = {
      {"bare", kBin + L"ondrel-stub.exe", {}, {}},
      {"full", kData + L"full.exe", {L"ONDREL.PACKED.7Z"}, {L"SETUP.EX_"}},
      {"patch", kData + L"patch.exe", {L"ONDREL.PACKED.7Z", L"SETUP.PATCH"}, {}},
      {"odd", kData + L"odd.exe", odd_b7, {L"SETUP.EX_", L"setup.ex_"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    StubImage image(c.path);
    EXPECT_EQ(NamesOf(image, L"B7"), c.b7);
    EXPECT_EQ(NamesOf(image, L"BL"), c.bl);
  }
}

TEST(StubResourcesTest, IconIsOneGroupOfOne32By32SixteenColourImage) {
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    StubImage image(stub.path);
    EXPECT_EQ(NamesOf(image, RT_GROUP_ICON), std::vector<std::wstring>{L"#107"});
    EXPECT_EQ(NamesOf(image, RT_ICON), std::vector<std::wstring>{L"#1"});

    const auto group = image.Load(RT_GROUP_ICON, MAKEINTRESOURCEW(107));
    ASSERT_TRUE(group.has_value());
    // GRPICONDIR (reserved, type 1, count) and one 14-byte entry.
    ASSERT_EQ(group->size(), 6u + 14u);
    EXPECT_EQ(Read<WORD>(*group, 2), 1);
    EXPECT_EQ(Read<WORD>(*group, 4), 1);
    EXPECT_EQ(Read<BYTE>(*group, 6), 32); // width
    EXPECT_EQ(Read<BYTE>(*group, 7), 32); // height
    EXPECT_EQ(Read<BYTE>(*group, 8), 16); // colours
    EXPECT_EQ(Read<WORD>(*group, 10), 1); // planes
    EXPECT_EQ(Read<WORD>(*group, 12), 4); // bits per pixel
    EXPECT_EQ(Read<WORD>(*group, 18), 1); // icon 1
    auto *group_bytes = reinterpret_cast<BYTE *>(const_cast<char *>(group->data()));
    EXPECT_EQ(LookupIconIdFromDirectoryEx(group_bytes, TRUE, 32, 32, LR_DEFAULTCOLOR), 1);

    const auto icon = image.Load(RT_ICON, MAKEINTRESOURCEW(1));
    ASSERT_TRUE(icon.has_value());
    EXPECT_EQ(icon->size(), Read<DWORD>(*group, 14));
    EXPECT_EQ(icon->size(), 40u + 16 * 4 + 32 * 32 / 2 + 32 * 32 / 8);
    const auto header = Read<BITMAPINFOHEADER>(*icon, 0);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64); // colour and mask bitmaps together
    EXPECT_EQ(header.biBitCount, 4);

    auto *icon_bytes = reinterpret_cast<BYTE *>(const_cast<char *>(icon->data()));
    HICON handle = CreateIconFromResourceEx(icon_bytes, static_cast<DWORD>(icon->size()), TRUE,
                                            0x00030000, 32, 32, LR_DEFAULTCOLOR);
    ASSERT_NE(handle, nullptr) << GetLastError();
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(handle, &info));
    BITMAP colour = {};
    GetObjectW(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(colour.bmWidth, 32);
    EXPECT_EQ(colour.bmHeight, 32);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(handle);
  }
}

std::wstring VersionText(DWORD high, DWORD low) {
  return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
         std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

TEST(StubResourcesTest, VersionBlockNamesVelmoraOndrelInUsEnglishUnicode) {
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    const DWORD size = GetFileVersionInfoSizeW(stub.path.c_str(), nullptr);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(stub.path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    DWORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(length, sizeof(DWORD));
    EXPECT_EQ(LOWORD(*translation), 0x0409);
    EXPECT_EQ(HIWORD(*translation), 0x04b0);

    const auto text = [&](const wchar_t *key) -> std::wstring {
      wchar_t *value = nullptr;
      UINT count = 0;
      const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
      if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void **>(&value), &count) ||
          value == nullptr) {
        return L"(missing)";
      }
      return value;
    };
    EXPECT_EQ(text(L"CompanyName"), L"Velmora");
    EXPECT_EQ(text(L"ProductName"), L"Ondrel");
    EXPECT_EQ(text(L"FileDescription"), L"Ondrel installer stub");
    EXPECT_EQ(text(L"LegalCopyright"), L"Copyright (c) 2026 Velmora. Zlib licence.");
    EXPECT_EQ(text(L"FileVersion"), VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
    EXPECT_EQ(text(L"ProductVersion"),
              VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
    for (const wchar_t *key : {L"FileDescription", L"InternalName", L"LegalCopyright"}) {
      const std::wstring value = text(key);
      EXPECT_NE(value, L"(missing)") << Narrow(key);
      EXPECT_FALSE(value.empty()) << Narrow(key);
    }
  }
}

// A stub packed with the product's identity (--file-version, --version-info, --icon,
// --execution-level), read through the platform's version, icon and activation context APIs.
TEST(StubResourcesTest, ProductIdentityReadsAsGivenThroughThePlatform) {
  const std::wstring path = kData + L"identity.exe";
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
  ASSERT_GT(size, 0u) << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
  EXPECT_EQ(VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS), L"4.3.2.1");
  EXPECT_EQ(VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS), L"4.3.0.0");
  const std::pair<const wchar_t *, const wchar_t *> expected[] = {
      {L"FileVersion", L"4.3.2.1"},       {L"ProductVersion", L"4.3 beta"},
      {L"CompanyName", L"Acme Ltd"},      {L"ProductName", L"Widget \u540d"},
      {L"FileDescription", L"(missing)"}, {L"InternalName", L"(missing)"},
  };
  for (const auto &[key, value] : expected) {
    wchar_t *text = nullptr;
    UINT count = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    const bool found =
        VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void **>(&text), &count);
    EXPECT_EQ(found ? std::wstring(text) : L"(missing)", value) << Narrow(key);
    if (found) {
      EXPECT_EQ(count, std::wcslen(value) + 1) << Narrow(key) << ": units, NUL included";
    }
  }

  // Every size of the icon is found in the group and made into an icon of that size.
  StubImage image(path);
  const auto group = image.Load(RT_GROUP_ICON, MAKEINTRESOURCEW(107));
  ASSERT_TRUE(group.has_value());
  EXPECT_EQ(Read<WORD>(*group, 4), 3);
  auto *group_bytes = reinterpret_cast<BYTE *>(const_cast<char *>(group->data()));
  for (const int side : {16, 32, 256}) {
    SCOPED_TRACE(side);
    const int id = LookupIconIdFromDirectoryEx(group_bytes, TRUE, side, side, LR_DEFAULTCOLOR);
    const auto icon = image.Load(RT_ICON, MAKEINTRESOURCEW(id));
    ASSERT_TRUE(icon.has_value());
    auto *icon_bytes = reinterpret_cast<BYTE *>(const_cast<char *>(icon->data()));
    HICON handle = CreateIconFromResourceEx(icon_bytes, static_cast<DWORD>(icon->size()), TRUE,
                                            0x00030000, side, side, LR_DEFAULTCOLOR);
    ASSERT_NE(handle, nullptr) << GetLastError();
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(handle, &info));
    BITMAP colour = {};
    GetObjectW(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(colour.bmWidth, side);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(handle);
  }

  const auto manifest = image.Load(RT_MANIFEST, MAKEINTRESOURCEW(1));
  ASSERT_TRUE(manifest.has_value());
  EXPECT_NE(manifest->find(R"(level="requireAdministrator")"), std::string::npos);
  ACTCTXW context = {};
  context.cbSize = sizeof(context);
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(1);
  HANDLE activation = CreateActCtxW(&context);
  EXPECT_NE(activation, INVALID_HANDLE_VALUE) << GetLastError();
  if (activation != INVALID_HANDLE_VALUE) {
    ReleaseActCtx(activation);
  }
}

TEST(StubResourcesTest, ManifestAsksForNoElevationAndDeclaresCommonControlsAndSupportedOs) {
  const char *required[] = {
      R"(manifestVersion="1.0")",
      R"(level="asInvoker")",
      R"(uiAccess="false")",
      R"(type="win32")",
      R"(name="Microsoft.Windows.Common-Controls")",
      R"(version="6.0.0.0")",
      R"(processorArchitecture="*")",
      R"(publicKeyToken="6595b64144ccf1df")",
      R"(language="*")",
      R"(<supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>)",
      R"(<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>)",
      R"(<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>)",
      R"(<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>)",
      R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",
      R"(<maxversiontested Id="10.0.18362.0"/>)",
  };
  for (const Stub &stub : Stubs()) {
    SCOPED_TRACE(stub.label);
    StubImage image(stub.path);
    const auto manifest = image.Load(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->rfind(R"(<?xml version="1.0" encoding="UTF-8")", 0), 0u);
    for (const char *text : required) {
      EXPECT_NE(manifest->find(text), std::string::npos) << text;
    }

    // The platform's own reader accepts it, dependency included.
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = stub.path.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE activation = CreateActCtxW(&context);
    EXPECT_NE(activation, INVALID_HANDLE_VALUE) << GetLastError();
    if (activation != INVALID_HANDLE_VALUE) {
      ReleaseActCtx(activation);
    }
  }
}

UINT CALLBACK ExpandInto(PVOID directory, UINT notification, UINT_PTR param1, UINT_PTR) {
  if (notification == SPFILENOTIFY_FILEINCABINET) {
    auto *info = reinterpret_cast<FILE_IN_CABINET_INFO_W *>(param1);
    const std::wstring target = *static_cast<std::wstring *>(directory) + info->NameInCabinet;
    lstrcpynW(info->FullTargetName, target.c_str(), MAX_PATH);
    return FILEOP_DOIT;
  }
  return NO_ERROR;
}

TEST(StubResourcesTest, SetupIsAnLzxCabinetHoldingSetupExe) {
  StubImage image(kData + L"full.exe");
  const auto cabinet = image.Load(L"BL", L"SETUP.EX_");
  ASSERT_TRUE(cabinet.has_value());
  const std::string setup = ReadFileBytes(kBin + L"setup-fixture.exe");

  // CFHEADER: signature, offset of the first CFFILE, version 1.3, one folder, one file.
  ASSERT_GT(cabinet->size(), 36u + 8u + 16u);
  EXPECT_EQ(cabinet->substr(0, 4), "MSCF");
  EXPECT_EQ(Read<BYTE>(*cabinet, 24), 3);
  EXPECT_EQ(Read<BYTE>(*cabinet, 25), 1);
  EXPECT_EQ(Read<WORD>(*cabinet, 26), 1);
  EXPECT_EQ(Read<WORD>(*cabinet, 28), 1);
  EXPECT_EQ(Read<WORD>(*cabinet, 30), 0);          // no reserved fields: CFFOLDER follows at 36
  EXPECT_EQ(Read<WORD>(*cabinet, 36 + 6), 0x1503); // LZX, window 2^21
  const DWORD first_file = Read<DWORD>(*cabinet, 16);
  EXPECT_EQ(Read<DWORD>(*cabinet, first_file), setup.size());
  EXPECT_EQ(std::string(cabinet->c_str() + first_file + 16), "setup.exe");

  // Expanded by the platform's cabinet support, it gives back the setup program.
  ScratchDirectory scratch;
  const std::wstring cabinet_path = scratch / L"SETUP.EX_";
  HANDLE file = CreateFileW(cabinet_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, cabinet->data(), static_cast<DWORD>(cabinet->size()), &written, nullptr);
  CloseHandle(file);
  std::wstring directory = scratch.path();
  ASSERT_TRUE(SetupIterateCabinetW(cabinet_path.c_str(), 0, ExpandInto, &directory))
      << GetLastError();
  EXPECT_EQ(ListDirectory(scratch.path()), (std::vector<std::wstring>{L"SETUP.EX_", L"setup.exe"}));
  EXPECT_EQ(ReadFileBytes(scratch / L"setup.exe"), setup);
}

} // namespace
