// SPDX-License-Identifier: Zlib
#include "pe/resource_id.h"

#include "base/pack_error.h"

#include <gtest/gtest.h>

#include <optional>

using namespace packer;

namespace {

// A TYPE or NAME from the command line: digits are an integer identifier, the rest UTF-8 text
// that must be valid and must not read as an identifier.
TEST(ParseResourceId, TakesIdentifiersAndStrictUtf8) {
  struct Case {
    std::string given;
    std::optional<ResourceId> expected; // nullopt: refused
  };
  const Case cases[] = {
      {"7", ResourceId::Integer(7)},
      {"0000007", ResourceId::Integer(7)},
      {"65535", ResourceId::Integer(65535)},
      {"65536", std::nullopt},
      {"0", std::nullopt},
      {"0000000000001", ResourceId::Integer(1)},
      {"1x", ResourceId::Text(u"1x")},
      {"#12", std::nullopt},
      {"", std::nullopt},
      {"Setup.ex_", ResourceId::Text(u"Setup.ex_")},
      {"caf\xC3\xA9", ResourceId::Text(u"caf\u00E9")},
      {"\xE5\x90\x8D", ResourceId::Text(u"\u540D")},
      {"\xF0\x9D\x84\x9E", ResourceId::Text(u"\U0001D11E")}, // a pair of surrogates
      {"\xC0\x80", std::nullopt},                            // an overlong NUL
      {"\xE0\x80\xAF", std::nullopt},                        // an overlong '/'
      {"\xED\xA0\x80", std::nullopt},                        // a surrogate
      {"\xF4\x90\x80\x80", std::nullopt},                    // beyond U+10FFFF
      {"\xC3", std::nullopt},                                // cut short
      {"\x80", std::nullopt},                                // a lone continuation
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    if (c.expected) {
      EXPECT_EQ(ParseResourceId(c.given, "NAME"), *c.expected);
    } else {
      EXPECT_THROW(ParseResourceId(c.given, "NAME"), PackError);
    }
  }
}

TEST(Utf16ToUtf8, RoundTripsAndShowsALoneSurrogateAsReplacement) {
  for (const std::string text : {"ONDREL.PACKED.7Z", "caf\xC3\xA9", "\xF0\x9D\x84\x9E"}) {
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text, "text")), text);
  }
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00z"), "\xEF\xBF\xBDz");
}

// FindResourceW's upper-casing goes beyond ASCII; the stub's own prefix test does not.
TEST(UpcaseName, FoldsAsTheSystemLooksNamesUp) {
  struct Case {
    std::u16string given, upcased;
  };
  const Case cases[] = {
      {u"setup.ex_", u"SETUP.EX_"},
      {u"Ondrel-1.7z", u"ONDREL-1.7Z"},
      {u"caf\u00E9", u"CAF\u00C9"},
      {u"\u00FF", u"\u0178"},
      {u"\u03C3\u0451", u"\u03A3\u0401"},
      {u"\u00DF", u"\u00DF"}, // no single upper-case letter
      {u"\u540D", u"\u540D"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.given));
    EXPECT_EQ(UpcaseName(c.given), c.upcased);
  }
  EXPECT_TRUE(StartsWithNoCase(u"Ondrel.a", u"ONDREL"));
  EXPECT_FALSE(StartsWithNoCase(u"caf\u00E9", u"CAF\u00C9"));
}

// The platform finds entries by a binary search in this order.
TEST(DirectoryOrder, NamesByUnitsPrefixFirstThenIdentifiers) {
  const ResourceId ordered[] = {ResourceId::Text(u"AB"),     ResourceId::Text(u"ABC"),
                                ResourceId::Text(u"B"),      ResourceId::Text(u"a"),
                                ResourceId::Text(u"\u00E9"), ResourceId::Integer(1),
                                ResourceId::Integer(24),     ResourceId::Integer(65535)};
  for (std::size_t i = 0; i < std::size(ordered); ++i) {
    for (std::size_t j = 0; j < std::size(ordered); ++j) {
      EXPECT_EQ(DirectoryOrder(ordered[i], ordered[j]), i < j) << i << " " << j;
    }
  }
}

} // namespace
