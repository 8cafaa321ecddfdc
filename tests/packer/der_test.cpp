// SPDX-License-Identifier: Zlib
#include "pe/der.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace packer;

namespace {

// One element read from the front of the bytes: the length rules that keep a hostile table from
// reaching past what encloses it.
TEST(DerReader, ReadsOnlyWellFormedLengths) {
  struct Case {
    const char *what;
    std::vector<std::uint8_t> bytes;
    std::optional<std::size_t> contents; // nullopt: refused
  };
  const Case cases[] = {
      {"short form", {0x04, 0x02, 0xAA, 0xBB}, 2},
      {"empty contents", {0x05, 0x00}, 0},
      {"long form, one byte", {0x04, 0x81, 0x80}, std::nullopt}, // claims 128, holds none
      {"length past the end", {0x04, 0x03, 0xAA, 0xBB}, std::nullopt},
      {"long form for a short length", {0x04, 0x81, 0x02, 0xAA, 0xBB}, std::nullopt},
      {"leading zero length byte", {0x04, 0x82, 0x00, 0x80}, std::nullopt},
      {"indefinite length", {0x30, 0x80, 0x00, 0x00}, std::nullopt},
      {"five length bytes", {0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00}, std::nullopt},
      {"length 2^32 - 1", {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, std::nullopt},
      {"multi-byte tag", {0x1F, 0x81, 0x01, 0x00}, std::nullopt},
      {"tag only", {0x30}, std::nullopt},
      {"nothing", {}, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DerReader reader(c.bytes);
    if (c.contents) {
      const DerElement element = reader.Next();
      EXPECT_EQ(element.tag, c.bytes[0]);
      EXPECT_EQ(element.contents.size(), *c.contents);
      EXPECT_EQ(element.encoding.size(), c.bytes.size());
      EXPECT_TRUE(reader.AtEnd());
    } else {
      EXPECT_THROW(reader.Next(), DerError);
    }
  }
  // A length of 128 in its long form, as a certificate's would be.
  std::vector<std::uint8_t> long_form = {0x04, 0x81, 0x80};
  long_form.resize(3 + 128, 0x55);
  DerReader reader(long_form);
  EXPECT_EQ(reader.Next().contents.size(), 128u);
}

TEST(DerReader, ExpectsTheTagAskedFor) {
  const std::vector<std::uint8_t> bytes = {0x30, 0x03, 0x02, 0x01, 0x05, 0x04, 0x00};
  DerReader reader(bytes);
  DerElement element;
  EXPECT_FALSE(reader.Optional(der::Context(0), &element)); // nothing read
  DerReader sequence = reader.Enter(der::kSequence);
  EXPECT_THROW(sequence.Expect(der::kOctetString), DerError);
  EXPECT_EQ(sequence.Expect(der::kInteger).contents[0], 5);
  EXPECT_TRUE(sequence.AtEnd());
  EXPECT_TRUE(reader.Optional(der::kOctetString, &element));
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_THROW(reader.Next(), DerError);
}

TEST(OidText, DecodesArcsAndRefusesMalformedOnes) {
  const struct {
    std::vector<std::uint8_t> contents;
    const char *text; // "" : refused
  } cases[] = {
      {{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}, "1.2.840.113549.1.7.2"},
      {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, "2.16.840.1.101.3.4.2.1"},
      {{0x55, 0x04, 0x03}, "2.5.4.3"},
      {{0x88, 0x37}, "2.999"}, // a first arc past 2 stays in the second
      {{0x2A, 0x86}, ""},      // ends inside an arc
      {{0x2A, 0x80, 0x01}, ""},
      {{}, ""},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, ""}, // past 64 bits
  };
  for (const auto &c : cases) {
    EXPECT_EQ(OidText(c.contents), c.text);
  }
}

// Names and times are shown to the user and written into JSON: one line each, readable.
TEST(NameText, ShowsAttributesInStoredOrderOnOneLine) {
  const auto name = [](std::uint8_t type, std::uint8_t string_tag, const std::string &value) {
    std::vector<std::uint8_t> rdn = {0x31,
                                     static_cast<std::uint8_t>(9 + value.size()),
                                     0x30,
                                     static_cast<std::uint8_t>(7 + value.size()),
                                     0x06,
                                     0x03,
                                     0x55,
                                     0x04,
                                     type,
                                     string_tag,
                                     static_cast<std::uint8_t>(value.size())};
    rdn.insert(rdn.end(), value.begin(), value.end());
    return rdn;
  };
  std::vector<std::uint8_t> both = name(10, der::kPrintableString, "Velmora");
  const std::vector<std::uint8_t> cn = name(3, der::kUtf8String, "Ondrel \xC3\xA9");
  both.insert(both.end(), cn.begin(), cn.end());
  EXPECT_EQ(NameText(both), "O=Velmora, CN=Ondrel \xC3\xA9");
  EXPECT_EQ(NameText(name(3, der::kBmpString, std::string("\0V\0m", 4))), "CN=Vm");
  EXPECT_EQ(NameText(name(3, der::kUtf8String, "a\nb")), "CN=a\\x0Ab");
  EXPECT_EQ(NameText(name(99, der::kUtf8String, "x")), "2.5.4.99=x");
  EXPECT_THROW(NameText(std::vector<std::uint8_t>{0x31, 0x05, 0x30, 0x03, 0x06, 0x01}), DerError);
}

TEST(TimeText, ReadsUtcAndGeneralizedTimes) {
  const struct {
    std::uint8_t tag;
    const char *text;
    const char *expected;
  } cases[] = {
      {der::kUtcTime, "260101120000Z", "2026-01-01T12:00:00Z"},
      {der::kUtcTime, "990101120000Z", "1999-01-01T12:00:00Z"},
      {der::kGeneralizedTime, "20261210063000Z", "2026-12-10T06:30:00Z"},
      {der::kGeneralizedTime, "20261210063000.123Z", "2026-12-10T06:30:00Z"},
      {der::kUtcTime, "2601011200Z", ""},
      {der::kGeneralizedTime, "2026121006300aZ", ""},
      {der::kOctetString, "20261210063000Z", ""},
  };
  for (const auto &c : cases) {
    const std::string text = c.text;
    DerElement time;
    time.tag = c.tag;
    time.contents = Bytes(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
    EXPECT_EQ(TimeText(time), c.expected) << c.text;
  }
}

} // namespace
