// SPDX-License-Identifier: Zlib
#include "support/bounded_string.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

namespace {

constexpr wchar_t kGuard = L'#';
constexpr size_t kArraySize = 24;

// A destination pre-filled with guard characters (and always terminated at its very end), with a
// snapshot to prove that nothing at or past a capacity was written.
struct Guarded {
  wchar_t text[kArraySize];
  wchar_t before[kArraySize];

  explicit Guarded(const wchar_t *initial = nullptr) {
    wmemset(text, kGuard, kArraySize - 1);
    text[kArraySize - 1] = L'\0';
    if (initial != nullptr) {
      wmemcpy(text, initial, wcslen(initial) + 1);
    }
    wmemcpy(before, text, kArraySize);
  }
  bool UnchangedFrom(size_t position) const {
    return wmemcmp(text + position, before + position, kArraySize - position) == 0;
  }
};

// Places characters so that the one just after them lies on a no-access page: reading a single
// character too far faults instead of passing unnoticed.
class Fenced {
public:
  Fenced(const wchar_t *characters, size_t count) {
    base_ = static_cast<char *>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
    text_ = reinterpret_cast<wchar_t *>(base_ + kPage) - count;
    wmemcpy(text_, characters, count);
  }
  ~Fenced() { VirtualFree(base_, 0, MEM_RELEASE); }
  Fenced(const Fenced &) = delete;
  Fenced &operator=(const Fenced &) = delete;
  wchar_t *text() const { return text_; }

private:
  static constexpr size_t kPage = 4096;
  char *base_;
  wchar_t *text_;
};

TEST(BoundedLength, IsTheLengthCappedBelowTheCapacity) {
  const struct {
    const wchar_t *text;
    size_t capacity;
    size_t expected;
  } cases[] = {
      {nullptr, 4, 0}, {L"abc", 0, 0}, {L"abc", 1, 0},  {L"abc", 2, 1}, {L"abc", 3, 2},
      {L"abc", 4, 3},  {L"abc", 9, 3}, {L"abcd", 4, 3}, {L"", 4, 0},    {L"a\0bc", 4, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.text ? c.text : L"(null)") << " / " << c.capacity);
    EXPECT_EQ(BoundedLength(c.text, c.capacity), c.expected);
  }
}

TEST(BoundedLength, NeverReadsThePlaceOfTheTerminator) {
  const std::wstring letters(259, L'x');
  Fenced unterminated(letters.c_str(), letters.size());
  EXPECT_EQ(BoundedLength(unterminated.text(), 260), 259u);
  Fenced nothing(L"", 0);
  EXPECT_EQ(BoundedLength(nothing.text(), 0), 0u);
  EXPECT_EQ(BoundedLength(nothing.text(), 1), 0u);
}

struct CopyCase {
  const wchar_t *initial;
  size_t capacity;
  const wchar_t *source;
  bool ok;
  const wchar_t *expected;
};

// Runs a copy or an append over each case in a guarded destination.
template <size_t N>
void ExpectEach(bool (*operation)(wchar_t *, size_t, const wchar_t *), const CopyCase (&cases)[N]) {
  for (const CopyCase &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.initial ? c.initial : L"") << " + " << c.source << " / " << c.capacity);
    Guarded destination(c.initial);
    EXPECT_EQ(operation(destination.text, c.capacity, c.source), c.ok);
    EXPECT_STREQ(destination.text, c.expected);
    EXPECT_TRUE(destination.UnchangedFrom(c.capacity));
  }
}

TEST(BoundedCopy, CopiesWholeOrLeavesAnEmptyString) {
  const CopyCase cases[] = {
      {nullptr, 4, L"abc", true, L"abc"}, {nullptr, 4, L"abcd", false, L""},
      {nullptr, 1, L"", true, L""},       {nullptr, 1, L"a", false, L""},
      {nullptr, 2, L"a", true, L"a"},     {nullptr, 2, L"ab", false, L""},
      {L"old", 9, L"", true, L""},        {L"old", 3, L"new", false, L""},
  };
  ExpectEach(BoundedCopy, cases);
}

TEST(BoundedCopy, RefusesNoRoomAndReadsNoFurtherThanTheCapacity) {
  EXPECT_FALSE(BoundedCopy(nullptr, 4, L"abc"));
  Guarded untouched(L"old");
  EXPECT_FALSE(BoundedCopy(untouched.text, 0, L""));
  EXPECT_TRUE(untouched.UnchangedFrom(0));

  Fenced unterminated(L"abcd", 4);
  Guarded destination(L"old");
  EXPECT_FALSE(BoundedCopy(destination.text, 4, unterminated.text()));
  EXPECT_STREQ(destination.text, L"");
  EXPECT_TRUE(destination.UnchangedFrom(4));
}

TEST(BoundedCopy, ShiftsAStringTowardsTheStartOfItsOwnBuffer) {
  // Dropping a leading quote copies the buffer onto itself from its second character.
  wchar_t quoted[] = L"\"C:\\a b\\setup.exe\" --x";
  const size_t shifted_room = wcslen(quoted);
  EXPECT_TRUE(BoundedCopy(quoted, shifted_room, quoted + 1));
  EXPECT_STREQ(quoted, L"C:\\a b\\setup.exe\" --x");
}

TEST(BoundedAppend, AppendsAllOrKeepsTheOldText) {
  // A buffer filled up to its capacity ("abc#" in 4) ends at its last place whatever it held.
  const CopyCase cases[] = {
      {L"ab", 4, L"c", true, L"abc"},
      {L"ab", 4, L"cd", false, L"ab"},
      {L"abc", 4, L"", true, L"abc"},
      {L"abc", 4, L"d", false, L"abc"},
      {L"", 4, L"abc", true, L"abc"},
      {L"", 4, L"abcd", false, L""},
      {L"a", 9, L"bcdefgh", true, L"abcdefgh"},
      {L"", 2, L"c", true, L"c"},
      {L"abc#", 4, L"", true, L"abc"},
      {L"abc#", 4, L"d", false, L"abc"},
      {L"ab", 2, L"", true, L"a"},
      {L"ab", 2, L"c", false, L"a"},
      {L"xyz", 1, L"", true, L""},
      {L"xyz", 1, L"a", false, L""},
  };
  ExpectEach(BoundedAppend, cases);
}

TEST(BoundedAppend, RefusesNoRoomAndReadsNoFurtherThanTheRoomLeft) {
  EXPECT_FALSE(BoundedAppend(nullptr, 4, L""));
  Guarded untouched(L"old");
  EXPECT_FALSE(BoundedAppend(untouched.text, 0, L""));
  EXPECT_TRUE(untouched.UnchangedFrom(0));

  Fenced unterminated(L"cd", 2);
  Guarded destination(L"ab");
  EXPECT_FALSE(BoundedAppend(destination.text, 4, unterminated.text()));
  EXPECT_STREQ(destination.text, L"ab");
  EXPECT_TRUE(destination.UnchangedFrom(4));
}

TEST(StartsAndEndsWithNoCase, FoldOnlyAsciiCapitals) {
  // Folding past 'Z' or before 'A' would pair '@' with '`' and '[' with '{'.
  const struct {
    const wchar_t *text;
    const wchar_t *affix;
    bool starts;
    bool ends;
  } cases[] = {
      {L"ONDREL.PACKED.7Z", L"ondrel", true, false},
      {L"Setup.ex_", L"SETUP", true, false},
      {L"beta-FULL", L"-full", false, true},
      {L"-full", L"-FULL", true, true},
      {L"set", L"setup", false, false},
      {L"full", L"-full", false, false},
      {L"abcabc", L"bc", false, true},
      {L"abc", L"", true, true},
      {L"", L"", true, true},
      {L"", L"a", false, false},
      {L"\u00C4", L"\u00E4", false, false},
      {L"@", L"`", false, false},
      {L"[", L"{", false, false},
      {nullptr, L"", false, false},
      {L"", nullptr, false, false},
      {nullptr, nullptr, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << (c.text ? c.text : L"(null)") << " ? " << (c.affix ? c.affix : L"(null)"));
    EXPECT_EQ(StartsWithNoCase(c.text, c.affix), c.starts);
    EXPECT_EQ(EndsWithNoCase(c.text, c.affix), c.ends);
  }
  // A text shorter than the prefix stops at its own NUL; a text shorter than the suffix is not
  // extended by whatever lies before it in memory.
  Fenced shorter(L"set", 4);
  EXPECT_FALSE(StartsWithNoCase(shorter.text(), L"setup"));
  const wchar_t preceded[] = L"-full";
  EXPECT_FALSE(EndsWithNoCase(preceded + 1, L"-FULL"));
}

TEST(FindNoCase, ReturnsTheLeftmostMatchInsideTheText) {
  const struct {
    const wchar_t *text;
    const wchar_t *needle;
    ptrdiff_t expected; // -1: no match
  } cases[] = {
      {L"C:\\Apps\\1.2.3\\setup.exe", L"1.2.3", 8},
      {L"aab", L"ab", 1},
      {L"aaab", L"AAB", 1},
      {L"abab", L"AB", 0},
      {L"abab", L"ba", 1},
      {L"xxAB", L"ab", 2},
      {L"abc", L"ABC", 0},
      {L"ab", L"abc", -1},
      {L"", L"x", -1},
      {L"\u00C4", L"\u00E4", -1},
      {L"xyz", L"", 0},
      {L"xyz", nullptr, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.text << " ? " << (c.needle ? c.needle : L"(null)"));
    std::wstring text = c.text;
    EXPECT_EQ(FindNoCase(text.data(), c.needle),
              c.expected < 0 ? nullptr : text.data() + c.expected);
  }
  EXPECT_EQ(FindNoCase(nullptr, nullptr), nullptr);
  EXPECT_EQ(FindNoCase(nullptr, L""), nullptr);
  Fenced ends_early(L"xa", 3);
  EXPECT_EQ(FindNoCase(ends_early.text(), L"ab"), nullptr);
}

TEST(HexEncode, WritesUpperCaseDigitsOrNothingAtAll) {
  const uint8_t bytes[] = {0x00, 0xAF, 0x10, 0x9C, 0x01, 0x23, 0x45, 0x67, 0x89, 0xBD, 0xEF};
  const struct {
    size_t count;
    size_t capacity;
    const wchar_t *expected; // null: refused, destination untouched
  } cases[] = {
      {4, 9, L"00AF109C"},
      {4, 8, nullptr},
      {1, 3, L"00"},
      {1, 2, nullptr},
      {1, 9, L"00"},
      {0, 1, L""},
      {0, 0, nullptr},
      {0, 5, L""},
      {11, 23, L"00AF109C0123456789BDEF"},
      {11, 22, nullptr},
      // Counts whose doubled value wraps around must be refused, not taken as small.
      {SIZE_MAX / 2 + 1, 9, nullptr},
      {SIZE_MAX, 9, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " / " << c.capacity);
    Guarded destination(L"keep");
    EXPECT_EQ(HexEncode(bytes, c.count, destination.text, c.capacity), c.expected != nullptr);
    if (c.expected == nullptr) {
      EXPECT_TRUE(destination.UnchangedFrom(0));
    } else {
      EXPECT_STREQ(destination.text, c.expected);
      EXPECT_TRUE(destination.UnchangedFrom(2 * c.count + 1));
    }
  }
}

TEST(NameAfterLastBackslash, ExaminesExactlyTheGivenLength) {
  // Only the length bounds the search, not a NUL on either side of the last backslash.
  const struct {
    std::wstring path;
    size_t length;
    size_t expected;
  } cases[] = {
      {L"C:\\dir\\app.exe", 14, 7},
      {L"C:\\dir\\", 7, 7},
      {L"app.exe", 7, 0},
      {L"\\x", 2, 1},
      {L"\\", 1, 1},
      {L"C:\\dir\\app.exe", 0, 0},
      {L"a/b", 3, 0},
      {L"ab\\c", 2, 0},
      {L"C:\\dir\\app.exe", 6, 3},
      {std::wstring(L"a\\b\0c\\d", 7), 7, 6},
      {std::wstring(L"a\\b\0c", 5), 5, 2},
  };
  for (const auto &c : cases) {
    std::wstring path = c.path;
    SCOPED_TRACE(testing::Message() << path.c_str() << " / " << c.length);
    EXPECT_EQ(NameAfterLastBackslash(path.data(), c.length), path.data() + c.expected);
  }
}

TEST(FixedBuffer, KeepsBothEndsNul) {
  alignas(FixedBuffer<4>) wchar_t storage[sizeof(FixedBuffer<4>) / sizeof(wchar_t)];
  wmemset(storage, kGuard, sizeof(storage) / sizeof(wchar_t));
  FixedBuffer<4> *buffer = new (storage) FixedBuffer<4>;
  EXPECT_TRUE(buffer->IsEmpty());
  EXPECT_EQ(buffer->text[4], L'\0');

  EXPECT_FALSE(buffer->Assign(L"abcd"));
  EXPECT_TRUE(buffer->IsEmpty());
  EXPECT_TRUE(buffer->Assign(L"ab"));
  EXPECT_TRUE(buffer->Append(L"c"));
  EXPECT_FALSE(buffer->Append(L"d"));
  EXPECT_STREQ(buffer->text, L"abc");
  EXPECT_EQ(buffer->Length(), 3u);
  EXPECT_EQ(buffer->text[4], L'\0');
  buffer->Clear();
  EXPECT_EQ(buffer->Length(), 0u);
  buffer->~FixedBuffer();
}

template <typename Buffer> void ExpectHoldsOneLessThanItsCapacity() {
  Buffer buffer;
  EXPECT_TRUE(buffer.Assign(std::wstring(Buffer::capacity - 1, L'p').c_str()));
  EXPECT_EQ(buffer.Length(), Buffer::capacity - 1);
  EXPECT_FALSE(buffer.Assign(std::wstring(Buffer::capacity, L'p').c_str()));
  EXPECT_TRUE(buffer.IsEmpty());
  EXPECT_EQ(buffer.text[Buffer::capacity], L'\0');
}

TEST(FixedBuffer, PathAndCommandBuffersHoldOneLessThanTheirCapacity) {
  ExpectHoldsOneLessThanItsCapacity<PathBuffer>();
  ExpectHoldsOneLessThanItsCapacity<CommandBuffer>();
}

} // namespace
