// SPDX-License-Identifier: Zlib
// Random inputs, weighted toward the places where behaviour changes, for the operations that take
// text from outside: the bounded string operations, the pass-through of the stub's own arguments,
// and the version check and quote removal of the installed setup program's "UninstallString".
// Each is compared with a small model written here on std::wstring. Every input is placed against
// a page that cannot be touched, so a read or write one character too far faults at once.
//
// One program for the three sources: they share the generator of hostile text and the seed, and
// one seed repeats the whole run. ONDREL_RANDOM_SEED=<n> (decimal, or hexadecimal with 0x) sets
// it; unset, every run takes a new one so that runs explore different inputs. It is printed either
// way, and again with any failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "setup/setup_launch.h"
#include "setup/setup_patching.h"
#include "support/bounded_string.h"

namespace {

constexpr int kCasesPerOperation = 100000;

uint64_t Seed() {
  static const uint64_t seed = [] {
    wchar_t text[32] = {};
    const DWORD length = GetEnvironmentVariableW(L"ONDREL_RANDOM_SEED", text, 32);
    if (length > 0 && length < 32) {
      return static_cast<uint64_t>(wcstoull(text, nullptr, 0));
    }
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart) ^
           (static_cast<uint64_t>(GetCurrentProcessId()) << 40);
  }();
  return seed;
}

// Characters that decide something: blanks and quotes end program names, a backslash ends a
// folder, 'A' to 'Z' fold while their neighbours, letters outside ASCII, characters whose low byte
// is an ASCII letter and surrogates must not.
constexpr wchar_t kDeciding[] = {
    L' ',    L'\t',  L'"',   L'\\',  L'-',   L'.',   L'=',   L'\x01', L'\x0B', L'\x0D', L'\x1F',
    L'\x7F', L'@',   L'[',   L'`',   L'{',   L'A',   L'Z',   L'a',    L'z',    0x00C4,  0x00E4,
    0x0130,  0x0141, 0x015A, 0x0161, 0x212A, 0xFF21, 0xFF41, 0xD800,  0xDC00,  0xFFFF};

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

class Random {
public:
  explicit Random(uint64_t stream) : engine_(Seed() ^ (stream * 0x9E3779B97F4A7C15ull)) {}

  size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(engine_() % n); }
  bool OneIn(size_t n) { return Below(n) == 0; }
  template <typename T, size_t N> T Pick(const T (&items)[N]) { return items[Below(N)]; }

  // None, too small for any text, the system's own, or any other.
  size_t Capacity() {
    static constexpr size_t kEdges[] = {0, 1, 2, 3, 4, 5, 127, 128, 259, 260, 261, 300, 1039, 1040};
    switch (Below(3)) {
    case 0:
      return Pick(kEdges);
    case 1:
      return 6 + Below(60);
    default:
      return Below(1100);
    }
  }

  // Half the time within two of the limit, otherwise anything up to just past it.
  size_t LengthNear(size_t limit) {
    if (OneIn(2)) {
      const size_t at = limit + Below(5);
      return at >= 2 ? at - 2 : 0;
    }
    return Below(limit + 3);
  }

  // Never NUL. One draw per character: texts of a thousand characters are made 100,000 times.
  wchar_t Character() { return CharacterFrom(engine_()); }

  std::wstring Text(size_t length) {
    std::wstring text;
    text.reserve(length);
    // A few letters make partial and repeated matches likely.
    static constexpr wchar_t kFew[] = {L'a', L'A', L'b', L'B', 0x0141};
    const bool few = OneIn(4);
    for (size_t i = 0; i < length; ++i) {
      text += few ? Pick(kFew) : Character();
    }
    return text;
  }

  // What a buffer held before: NULs anywhere among the characters.
  std::wstring Garbage(size_t length) {
    std::wstring text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
      const uint64_t draw = engine_();
      text += (draw >> 61) == 0 ? L'\0' : CharacterFrom(draw);
    }
    return text;
  }

  // The ASCII letters in random case; now and then one character turned into a look-alike that
  // must not match it.
  std::wstring CaseVariant(std::wstring_view text) {
    std::wstring variant(text);
    for (wchar_t &c : variant) {
      if (IsAsciiLetter(c) && OneIn(2)) {
        c ^= 0x20;
      }
    }
    if (!variant.empty() && OneIn(4)) {
      wchar_t &c = variant[Below(variant.size())];
      c = IsAsciiLetter(c) && OneIn(2) ? static_cast<wchar_t>(c + 0x100)
                                       : static_cast<wchar_t>(c == 0xFFFF ? 1 : c + 1);
    }
    return variant;
  }

  // Something to look for in text: a part of it (at its start, its end or anywhere) in other case,
  // more than the whole text, anything, an empty string, or none at all.
  enum class Where { kStart, kEnd, kAnywhere };
  std::optional<std::wstring> Probe(const std::wstring &text, Where where) {
    switch (Below(10)) {
    case 0:
      return std::nullopt;
    case 1:
      return L"";
    case 2:
      return CaseVariant(OneIn(2) ? Text(1) + text : text + Text(1));
    case 3:
      return Text(Below(6));
    default: {
      const size_t length = OneIn(3) ? text.size() : Below(std::min<size_t>(text.size(), 12) + 1);
      const size_t start = where == Where::kStart ? 0
                           : where == Where::kEnd ? text.size() - length
                                                  : Below(text.size() - length + 1);
      return CaseVariant(std::wstring_view(text).substr(start, length));
    }
    }
  }

private:
  static wchar_t CharacterFrom(uint64_t draw) {
    switch (draw & 3) {
    case 0:
    case 1:
      return kDeciding[(draw >> 2) % std::size(kDeciding)];
    case 2:
      return static_cast<wchar_t>(((draw & 4) != 0 ? L'A' : L'a') + (draw >> 3) % 26);
    default:
      return static_cast<wchar_t>(1 + (draw >> 2) % 0xFFFF);
    }
  }

  std::mt19937_64 engine_;
};

// Memory whose end touches a page that cannot be read or written: what is placed at the end
// faults on the first access past it.
class Fence {
public:
  Fence() {
    base_ = static_cast<char *>(
        VirtualAlloc(nullptr, kSize + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kSize, kPage, PAGE_NOACCESS, &old);
  }
  ~Fence() { VirtualFree(base_, 0, MEM_RELEASE); }
  Fence(const Fence &) = delete;
  Fence &operator=(const Fence &) = delete;

  char *End() const { return base_ + kSize; }
  void *PlaceBytes(const void *data, size_t size) {
    EXPECT_LE(size, kSize);
    char *at = End() - size;
    memcpy(at, data, size);
    return at;
  }
  wchar_t *Place(std::wstring_view characters) {
    return static_cast<wchar_t *>(
        PlaceBytes(characters.data(), characters.size() * sizeof(wchar_t)));
  }

private:
  static constexpr size_t kPage = 4096;
  static constexpr size_t kSize = 16 * kPage;
  char *base_;
};

wchar_t ModelFold(wchar_t c) {
  static constexpr std::wstring_view kUpper = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static constexpr std::wstring_view kLower = L"abcdefghijklmnopqrstuvwxyz";
  const size_t at = kUpper.find(c);
  return at == std::wstring_view::npos ? c : kLower[at];
}

bool ModelEqualNoCase(std::wstring_view a, std::wstring_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](wchar_t x, wchar_t y) { return ModelFold(x) == ModelFold(y); });
}

std::optional<size_t> ModelFind(std::wstring_view text, std::wstring_view needle) {
  for (size_t start = 0; start + needle.size() <= text.size(); ++start) {
    if (ModelEqualNoCase(text.substr(start, needle.size()), needle)) {
      return start;
    }
  }
  return std::nullopt;
}

constexpr size_t kLongestCommand = kCommandCapacity - 1;

// The setup program's command line after the stub's own arguments were passed on: all that
// follows the program name, a space first when it follows a closing quote directly, and nothing
// of what does not fit.
std::wstring ModelPassThrough(std::wstring command, const std::wstring &line) {
  size_t start = 0;
  if (line.starts_with(L'"')) {
    const size_t close = line.find(L'"', 1);
    if (close == std::wstring::npos) {
      return command;
    }
    start = close + 1;
  } else {
    start = line.find_first_of(L" \t");
    if (start == std::wstring::npos) {
      return command;
    }
  }
  const std::wstring rest = line.substr(start);
  if (rest.empty()) {
    return command;
  }
  if (rest[0] != L' ' && rest[0] != L'\t') {
    if (command.size() + 1 > kLongestCommand) {
      return command;
    }
    command += L' ';
  }
  if (command.size() + rest.size() <= kLongestCommand) {
    command += rest;
  }
  return command;
}

// ASCII as it is, anything else as \x{hex}; long texts shortened in the middle.
std::string Show(std::wstring_view text) {
  std::string shown = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.size() > 120 && i == 50) {
      shown += "...(" + std::to_string(text.size()) + " characters)...";
      i = text.size() - 50;
    }
    const wchar_t c = text[i];
    if (c >= 0x20 && c < 0x7F && c != L'\\' && c != L'"') {
      shown += static_cast<char>(c);
    } else {
      char escaped[16];
      snprintf(escaped, sizeof(escaped), "\\x{%X}", static_cast<unsigned>(c));
      shown += escaped;
    }
  }
  return shown + "\"";
}

std::string ShowOptional(const std::optional<std::wstring> &text) {
  return text ? Show(*text) : "null";
}

const char *g_group = "";
int g_case = 0;

// A fault ends the program at once, naming the case that caused it. The process ends here with
// the exception's code: handed on to Wine's debugger, it sometimes exits with 0, a pass.
LONG WINAPI ReportFault(EXCEPTION_POINTERS *info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  fprintf(stderr, "\n%s, case %d: exception 0x%08lX. Repeat with ONDREL_RANDOM_SEED=%llu\n",
          g_group, g_case, static_cast<unsigned long>(code),
          static_cast<unsigned long long>(Seed()));
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_CONTINUE_SEARCH;
}

// Runs the cases of one operation from its own stream of the seed. A case answers with a
// complaint, empty when the operation agreed with the model; the first complaint ends the test.
template <typename OneCase> void RunCases(const char *group, uint64_t stream, OneCase one_case) {
  printf("%s: %d cases, ONDREL_RANDOM_SEED=%llu\n", group, kCasesPerOperation,
         static_cast<unsigned long long>(Seed()));
  fflush(stdout);
  SetUnhandledExceptionFilter(&ReportFault);
  g_group = group;
  Random random(stream);
  for (g_case = 0; g_case < kCasesPerOperation; ++g_case) {
    const std::string complaint = one_case(random);
    if (!complaint.empty()) {
      ADD_FAILURE() << group << ", case " << g_case << ": " << complaint
                    << "\nRepeat with ONDREL_RANDOM_SEED=" << Seed();
      return;
    }
  }
}

TEST(RandomizedBoundedStrings, LengthIsCappedBelowTheCapacityAndReadsNoFurther) {
  Fence fence;
  RunCases("BoundedLength", 1, [&](Random &random) -> std::string {
    const size_t capacity = random.Capacity();
    // Only the first capacity - 1 characters may be read, so only they are placed: with a NUL
    // among them, often near their end, or none.
    std::wstring text = random.Text(capacity < 2 ? 0 : capacity - 1);
    if (!text.empty() && !random.OneIn(3)) {
      const size_t at =
          random.OneIn(2) ? random.LengthNear(text.size() - 1) : random.Below(text.size());
      text[std::min(at, text.size() - 1)] = L'\0';
    }
    const wchar_t *placed = random.OneIn(50) ? nullptr : fence.Place(text);
    const size_t length = BoundedLength(placed, capacity);
    const size_t nul = text.find(L'\0');
    const size_t expected = placed == nullptr || capacity < 2 ? 0
                            : nul == std::wstring::npos       ? capacity - 1
                                                              : nul;
    if (length == expected) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "BoundedLength(" << (placed ? Show(text) : "null") << ", " << capacity
              << ") = " << length << ", not " << expected;
    return complaint.str();
  });
}

TEST(RandomizedBoundedStrings, CopyCopiesWholeOrLeavesAnEmptyString) {
  Fence destination_fence, source_fence;
  RunCases("BoundedCopy", 2, [&](Random &random) -> std::string {
    const size_t capacity = random.Capacity();
    std::ostringstream complaint;
    if (capacity != 0 && random.OneIn(10)) {
      // A string shifted towards the start of its own buffer, whose place past the capacity
      // holds a NUL, as quote removal does it.
      const std::wstring buffer = random.Garbage(capacity) + L'\0';
      wchar_t *placed = destination_fence.Place(buffer);
      const size_t shift = 1 + random.Below(std::min<size_t>(capacity, 3));
      const std::wstring source(buffer.c_str() + shift);
      const bool copied = BoundedCopy(placed, capacity, placed + shift);
      const std::wstring expected = source + L'\0' + buffer.substr(source.size() + 1);
      if (copied && std::wstring_view(placed, buffer.size()) == expected) {
        return "";
      }
      complaint << "BoundedCopy onto itself from " << shift << " in " << Show(buffer) << ", "
                << capacity << ": " << copied << ", "
                << Show(std::wstring_view(placed, buffer.size()));
      return complaint.str();
    }
    const std::wstring old = random.Garbage(capacity);
    wchar_t *placed = destination_fence.Place(old);
    wchar_t *destination = random.OneIn(50) ? nullptr : placed;
    const std::wstring source = random.Text(random.LengthNear(capacity));
    // Read up to its NUL, and never more than capacity characters.
    const wchar_t *from =
        source_fence.Place(source.size() < capacity ? source + L'\0' : source.substr(0, capacity));
    const bool copied = BoundedCopy(destination, capacity, from);
    const std::wstring_view after(placed, capacity);
    bool agrees = false;
    if (destination == nullptr || capacity == 0) {
      agrees = !copied && after == old;
    } else if (source.size() < capacity) {
      agrees = copied && after == source + L'\0' + old.substr(source.size() + 1);
    } else {
      agrees = !copied && after[0] == L'\0';
    }
    if (agrees) {
      return "";
    }
    complaint << "BoundedCopy(" << (destination ? Show(old) : "null") << ", " << capacity << ", "
              << Show(source) << "): " << copied << ", " << Show(after);
    return complaint.str();
  });
}

TEST(RandomizedBoundedStrings, AppendAppendsWholeOrKeepsTheOldText) {
  Fence destination_fence, source_fence;
  RunCases("BoundedAppend", 3, [&](Random &random) -> std::string {
    const size_t capacity = random.Capacity();
    // A string ending below the capacity, then anything; or no NUL within it at all.
    std::wstring old = random.Text(std::min(random.LengthNear(capacity), capacity));
    if (old.size() < capacity) {
      old += L'\0';
      old += random.Garbage(capacity - old.size());
    }
    wchar_t *placed = destination_fence.Place(old);
    wchar_t *destination = random.OneIn(50) ? nullptr : placed;
    const size_t nul =
        capacity < 2 ? 0 : std::wstring_view(old).substr(0, capacity - 1).find(L'\0');
    const size_t end = nul == std::wstring::npos ? capacity - 1 : nul;
    const size_t room = capacity - end;
    const std::wstring source = random.Text(random.LengthNear(room == 0 ? 0 : room - 1));
    const wchar_t *from =
        source_fence.Place(source.size() < room ? source + L'\0' : source.substr(0, room));
    const bool appended = BoundedAppend(destination, capacity, from);
    const std::wstring_view after(placed, capacity);
    bool agrees = false;
    if (destination == nullptr || capacity == 0) {
      agrees = !appended && after == old;
    } else if (source.size() < room) {
      agrees = appended &&
               after == old.substr(0, end) + source + L'\0' + old.substr(end + source.size() + 1);
    } else {
      agrees = !appended && after.substr(0, end) == std::wstring_view(old).substr(0, end) &&
               after[end] == L'\0';
    }
    if (agrees) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "BoundedAppend(" << (destination ? Show(old) : "null") << ", " << capacity << ", "
              << Show(source) << "): " << appended << ", " << Show(after);
    return complaint.str();
  });
}

// A text of mostly short lengths, now and then one near the capacity of a path.
std::wstring Haystack(Random &random) {
  return random.Text(random.OneIn(10) ? random.LengthNear(300) : random.Below(40));
}

TEST(RandomizedBoundedStrings, StartsAndEndsWithFoldOnlyAsciiCapitals) {
  Fence text_fence, affix_fence;
  RunCases("StartsWithNoCase and EndsWithNoCase", 4, [&](Random &random) -> std::string {
    const std::optional<std::wstring> text =
        random.OneIn(50) ? std::nullopt : std::optional(Haystack(random));
    const bool at_start = random.OneIn(2);
    const std::optional<std::wstring> affix =
        random.Probe(text.value_or(L""), at_start ? Random::Where::kStart : Random::Where::kEnd);
    const wchar_t *t = text ? text_fence.Place(*text + L'\0') : nullptr;
    const wchar_t *a = affix ? affix_fence.Place(*affix + L'\0') : nullptr;
    const bool starts = StartsWithNoCase(t, a);
    const bool ends = EndsWithNoCase(t, a);
    bool expected_starts = false;
    bool expected_ends = false;
    if (text && affix && affix->size() <= text->size()) {
      expected_starts = ModelEqualNoCase(std::wstring_view(*text).substr(0, affix->size()), *affix);
      expected_ends =
          ModelEqualNoCase(std::wstring_view(*text).substr(text->size() - affix->size()), *affix);
    }
    if (starts == expected_starts && ends == expected_ends) {
      return "";
    }
    std::ostringstream complaint;
    complaint << ShowOptional(text) << " with " << ShowOptional(affix) << ": starts " << starts
              << ", ends " << ends << "; expected " << expected_starts << ", " << expected_ends;
    return complaint.str();
  });
}

TEST(RandomizedBoundedStrings, FindReturnsTheLeftmostMatch) {
  Fence text_fence, needle_fence;
  RunCases("FindNoCase", 5, [&](Random &random) -> std::string {
    const std::wstring text = Haystack(random);
    const std::optional<std::wstring> needle = random.Probe(text, Random::Where::kAnywhere);
    wchar_t *t = text_fence.Place(text + L'\0');
    const wchar_t *n = needle ? needle_fence.Place(*needle + L'\0') : nullptr;
    const wchar_t *found = FindNoCase(t, n);
    const std::optional<size_t> expected = needle ? ModelFind(text, *needle) : size_t{0};
    if (found == (expected ? t + *expected : nullptr)) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "FindNoCase(" << Show(text) << ", " << ShowOptional(needle)
              << ") = " << (found ? std::to_string(found - t) : "none") << ", not "
              << (expected ? std::to_string(*expected) : "none");
    return complaint.str();
  });
}

// Every byte's two digits, as printf writes them.
const std::vector<std::wstring> kHexPairs = [] {
  std::vector<std::wstring> pairs;
  for (unsigned byte = 0; byte < 256; ++byte) {
    char pair[3];
    snprintf(pair, sizeof(pair), "%02X", byte);
    pairs.push_back({static_cast<wchar_t>(pair[0]), static_cast<wchar_t>(pair[1])});
  }
  return pairs;
}();

TEST(RandomizedBoundedStrings, HexEncodeWritesAllDigitsOrNothing) {
  Fence bytes_fence, destination_fence;
  RunCases("HexEncode", 6, [&](Random &random) -> std::string {
    const size_t capacity = random.Capacity();
    size_t count = random.LengthNear(capacity / 2);
    std::string bytes;
    if (random.OneIn(100)) {
      // Counts whose doubled value wraps: refused without reading a byte.
      count = (random.OneIn(2) ? SIZE_MAX : SIZE_MAX / 2 + 1) - random.Below(2);
    } else {
      for (size_t i = 0; i < count; ++i) {
        bytes += static_cast<char>(random.Below(256));
      }
    }
    const auto *from =
        static_cast<const uint8_t *>(bytes_fence.PlaceBytes(bytes.data(), bytes.size()));
    const std::wstring old = random.Garbage(capacity);
    wchar_t *destination = destination_fence.Place(old);
    const bool encoded = HexEncode(from, count, destination, capacity);
    const std::wstring_view after(destination, capacity);
    const bool fits = static_cast<unsigned __int128>(count) * 2 + 1 <= capacity;
    bool agrees = false;
    if (fits) {
      std::wstring digits;
      for (const char byte : bytes) {
        digits += kHexPairs[static_cast<uint8_t>(byte)];
      }
      agrees = encoded && after == digits + L'\0' + old.substr(digits.size() + 1);
    } else {
      agrees = !encoded && after == old;
    }
    if (agrees) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "HexEncode of " << count << " bytes into " << capacity << ": " << encoded << ", "
              << Show(after);
    return complaint.str();
  });
}

TEST(RandomizedBoundedStrings, NameAfterLastBackslashExaminesExactlyTheLength) {
  Fence fence;
  RunCases("NameAfterLastBackslash", 7, [&](Random &random) -> std::string {
    const size_t length = random.OneIn(4) ? random.Below(3) : random.Below(300);
    std::wstring path;
    for (size_t i = 0; i < length; ++i) {
      path += random.OneIn(5) ? L'\\' : random.OneIn(10) ? L'\0' : random.Character();
    }
    // Exactly length characters are placed: examining one more faults.
    wchar_t *placed = fence.Place(path);
    const wchar_t *name = NameAfterLastBackslash(placed, length);
    const size_t backslash = path.rfind(L'\\');
    const size_t expected = backslash == std::wstring::npos ? 0 : backslash + 1;
    if (name == placed + expected) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "NameAfterLastBackslash(" << Show(path) << ", " << length << ") at "
              << (name - placed) << ", not " << expected;
    return complaint.str();
  });
}

// Arguments as a caller may write them, with the switches the stub itself reads hidden in them.
std::wstring Arguments(Random &random, size_t length) {
  static constexpr const wchar_t *kSwitches[] = {
      L"--cleanup", L"\"--cleanup\"", L"\"x --system-level\"", L"--ondrel-frame", L"\"", L"\\\""};
  std::wstring arguments = random.Text(length);
  for (size_t i = random.Below(3); i > 0; --i) {
    arguments.insert(random.Below(arguments.size() + 1), random.Pick(kSwitches));
  }
  return arguments;
}

TEST(RandomizedSetupLaunch, PassThroughIsWhatFollowsTheProgramNameOrNothing) {
  Fence command_fence, line_fence;
  RunCases("AppendPassThroughArguments", 8, [&](Random &random) -> std::string {
    // The program name as the stub may have been started: quoted (closed or not), bare, or none.
    std::wstring line;
    switch (random.Below(4)) {
    case 0: {
      std::wstring name = random.Text(random.Below(30));
      std::erase(name, L'"');
      line = L"\"" + name + (random.OneIn(8) ? L"" : L"\"");
      break;
    }
    case 1:
    case 2:
      line = random.Text(random.Below(30));
      std::erase_if(line, [](wchar_t c) { return c == L' ' || c == L'\t'; });
      break;
    default:
      break;
    }
    // Then blanks, an argument glued to the name, or the end of the line.
    switch (random.Below(3)) {
    case 0:
      for (size_t i = 1 + random.Below(3); i > 0; --i) {
        line += random.OneIn(2) ? L' ' : L'\t';
      }
      [[fallthrough]];
    case 1:
      line += Arguments(random, random.OneIn(4) ? random.LengthNear(kLongestCommand)
                                                : random.Below(random.OneIn(20) ? 4000 : 80));
      break;
    default:
      break;
    }
    // The command so far: half the time just long enough that what is passed on fits exactly,
    // or just not.
    const size_t passed = std::min(ModelPassThrough(L"", line).size(), kLongestCommand);
    const size_t filled = std::min(random.OneIn(2) ? random.LengthNear(kLongestCommand - passed)
                                                   : random.Below(kCommandCapacity),
                                   kLongestCommand);
    const std::wstring before = random.Text(filled);
    // The buffer ends where the fence begins: its own last NUL is the last character there.
    auto *command = new (command_fence.End() - sizeof(CommandBuffer)) CommandBuffer;
    if (!command->Assign(before.c_str())) {
      return "the command so far does not fit: " + Show(before);
    }
    const wchar_t *placed = line_fence.Place(line + L'\0');
    AppendPassThroughArguments(*command, placed);
    const std::wstring expected = ModelPassThrough(before, line);
    if (command->text == expected && command->text[kCommandCapacity] == L'\0') {
      return "";
    }
    std::ostringstream complaint;
    complaint << "after " << Show(before) << " from " << Show(line) << ": " << Show(command->text)
              << ", not " << Show(expected);
    return complaint.str();
  });
}

// An "UninstallString" as installations write them, quoted or not, with the version somewhere in
// the path, arguments after it; or anything at all.
std::wstring UninstallString(Random &random) {
  if (random.OneIn(4)) {
    return random.Text(random.LengthNear(kPathCapacity - 1));
  }
  std::wstring version;
  for (size_t part = 1 + random.Below(4); part > 0; --part) {
    version += std::to_wstring(random.Below(random.OneIn(2) ? 10 : 1000));
    version += part > 1 ? L"." : L"";
  }
  const bool quoted = random.OneIn(2);
  std::wstring value = std::wstring(quoted ? L"\"" : L"") + L"C:\\" +
                       random.Text(random.Below(20)) + L"\\" + version + L"\\" +
                       random.Text(random.Below(10)) + L"setup.exe";
  if (quoted && !random.OneIn(5)) {
    value += L"\"";
  }
  if (random.OneIn(5)) {
    value += L" " + random.Text(random.Below(12));
  }
  return value;
}

TEST(RandomizedSetupPatching, VersionCheckIsACaseBlindSubstringTest) {
  Fence value_fence, version_fence;
  RunCases("NamesPreviousVersion", 9, [&](Random &random) -> std::string {
    const std::wstring value = UninstallString(random);
    std::optional<std::wstring> version = random.Probe(value, Random::Where::kAnywhere);
    if (random.OneIn(4)) {
      version = std::to_wstring(random.Below(10)) + L"." + std::to_wstring(random.Below(10));
    }
    wchar_t *v = value_fence.Place(value + L'\0');
    const wchar_t *p = version ? version_fence.Place(*version + L'\0') : nullptr;
    const bool named = NamesPreviousVersion(v, p);
    const bool expected = !version || ModelFind(value, *version).has_value();
    if (named == expected && std::wstring_view(v) == value) {
      return "";
    }
    std::ostringstream complaint;
    complaint << ShowOptional(version) << " in " << Show(value) << ": " << named << ", not "
              << expected;
    return complaint.str();
  });
}

TEST(RandomizedSetupPatching, QuoteRemovalDropsOnlyAPairThatEnclosesTheWholeValue) {
  Fence fence;
  RunCases("RemoveEnclosingQuotes", 10, [&](Random &random) -> std::string {
    const size_t capacity = random.Capacity();
    std::wstring value;
    switch (random.Below(6)) {
    case 0:
      value = std::wstring(random.Below(4), L'"');
      break;
    case 1:
      value = L"\"" + random.Text(random.Below(capacity + 1));
      break;
    case 2:
      value = random.Text(random.Below(capacity + 1)) + L"\"";
      break;
    case 3:
      value = random.Text(random.Below(capacity + 1));
      break;
    default:
      value = L"\"" + random.Text(random.LengthNear(capacity < 3 ? 0 : capacity - 3)) + L"\"";
      break;
    }
    // Read within the capacity, as every value is; the array has one more place, a NUL.
    std::wstring buffer;
    if (capacity == 0) {
      buffer = L"\"";
    } else {
      value.resize(std::min(value.size(), capacity - 1));
      buffer = value + L'\0' + random.Garbage(capacity - value.size() - 1) + L'\0';
    }
    wchar_t *placed = fence.Place(buffer);
    RemoveEnclosingQuotes(placed, capacity);
    const bool enclosed =
        capacity != 0 && value.size() >= 2 && value.front() == L'"' && value.back() == L'"';
    const std::wstring expected = enclosed ? value.substr(1, value.size() - 2) : value;
    const std::wstring_view after(placed, buffer.size());
    // Only the string itself may change.
    const size_t kept_from = std::min(value.size(), buffer.size());
    if ((capacity == 0 ? after == buffer : std::wstring_view(placed) == expected) &&
        after.substr(kept_from) == std::wstring_view(buffer).substr(kept_from)) {
      return "";
    }
    std::ostringstream complaint;
    complaint << "RemoveEnclosingQuotes(" << Show(buffer) << ", " << capacity
              << "): " << Show(after) << ", not " << Show(expected);
    return complaint.str();
  });
}

} // namespace
