// SPDX-License-Identifier: Zlib
#include "pe/version_block.h"

#include "base/little_endian.h"
#include "base/pack_error.h"

#include <gtest/gtest.h>

#include <optional>

using namespace packer;

namespace {

TEST(ParseVersionNumber, TakesOneToFourPartsOfSixteenBits) {
  struct Case {
    std::string given;
    std::optional<VersionNumber> expected; // nullopt: refused
  };
  const Case cases[] = {
      {"1.2.3.4", VersionNumber{{1, 2, 3, 4}}},
      {"65535.0.65535.00065535", VersionNumber{{65535, 0, 65535, 65535}}},
      {"2", VersionNumber{{2, 0, 0, 0}}},
      {"2.1", VersionNumber{{2, 1, 0, 0}}},
      {"1.2.3.4.5", std::nullopt},
      {"1.65536", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"1.2a", std::nullopt},
      {"1..2", std::nullopt},
      {"1.2.", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    try {
      const VersionNumber number = ParseVersionNumber(c.given, "--file-version");
      ASSERT_TRUE(c.expected.has_value()) << "accepted";
      EXPECT_EQ(number, *c.expected);
    } catch (const PackError &e) {
      EXPECT_FALSE(c.expected.has_value()) << e.what();
      EXPECT_EQ(e.status, 2);
    }
  }
}

// Walks the nodes as Windows does, independently of the packer's reader: each starts on a 32-bit
// boundary within its parent, and wLength covers its key, value and children.
void ExpectNodesWithin(const std::vector<std::uint8_t> &block, std::size_t at, std::size_t end,
                       int depth) {
  while (at < end) {
    ASSERT_EQ(at % 4, 0u);
    const std::size_t length = Get16(&block[at]);
    ASSERT_GE(length, 6u);
    ASSERT_LE(at + length, end);
    std::size_t key = at + 6;
    while (Get16(&block[key]) != 0) {
      key += 2;
    }
    const std::size_t value = (key + 2 + 3) & ~std::size_t{3};
    const std::size_t value_length = Get16(&block[at + 2]);
    const bool text = Get16(&block[at + 4]) == 1;
    const std::size_t value_end = value + (text ? 2 * value_length : value_length);
    ASSERT_LE(value_end, at + length);
    if (text && value_length != 0) {
      EXPECT_EQ(Get16(&block[value_end - 2]), 0) << "the value's NUL is counted in units";
    }
    if (depth < 3) {
      ExpectNodesWithin(block, (value_end + 3) & ~std::size_t{3}, at + length, depth + 1);
    }
    at = (at + length + 3) & ~std::size_t{3};
  }
}

TEST(VersionBlock, WritesWholeAlignedBlocksThatReadBack) {
  const std::vector<std::vector<VersionString>> tables = {
      {},
      {{u"FileVersion", u"1.2.3.4"}, {u"ProductVersion", u"2.1 beta"}},
      {{u"A", u""}, {u"Bc", u"d"}, {u"Odd", u"x"}, {u"Even", u"xy"}},
      {{u"CompanyName", u"Acme \u540D \U0001D11E"}, {std::u16string(255, u'k'), u"long key"}},
  };
  for (const auto &strings : tables) {
    SCOPED_TRACE(strings.size());
    VersionInfo info{{{1, 2, 3, 4}}, {{5, 6, 7, 8}}, strings};
    const std::vector<std::uint8_t> block = WriteVersionBlock(info);
    EXPECT_EQ(Get16(block.data()), block.size());
    ExpectNodesWithin(block, 0, block.size(), 0);
    const auto read = ReadVersionBlock(block);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->file, info.file);
    EXPECT_EQ(read->product, info.product);
    EXPECT_EQ(read->strings, strings);
  }
}

TEST(VersionBlock, RefusesABlockBeyondItsLengthField) {
  // The longest value that fits, found by halving: one unit more must be refused.
  const auto size_with = [](std::size_t units) -> std::optional<std::size_t> {
    try {
      return WriteVersionBlock({{}, {}, {{u"Comments", std::u16string(units, u'x')}}}).size();
    } catch (const PackError &e) {
      EXPECT_EQ(e.status, 2);
      return std::nullopt;
    }
  };
  std::size_t fits = 1000, refused = 40000;
  ASSERT_TRUE(size_with(fits));
  ASSERT_FALSE(size_with(refused));
  while (refused - fits > 1) {
    const std::size_t middle = (fits + refused) / 2;
    (size_with(middle) ? fits : refused) = middle;
  }
  EXPECT_GE(*size_with(fits), 65535u - 3); // the next unit takes 2 bytes and padding 2
  EXPECT_LE(*size_with(fits), 65535u);
}

TEST(VersionBlock, ReadsNothingFromDamagedBlocks) {
  VersionInfo info{{{1, 0, 0, 0}}, {{1, 0, 0, 0}}, {{u"Key", u"Value"}}};
  const std::vector<std::uint8_t> good = WriteVersionBlock(info);
  std::vector<std::vector<std::uint8_t>> damaged = {{}, {good.begin(), good.begin() + 40}};
  for (const std::size_t field : {std::size_t{0}, std::size_t{2}}) {
    auto copy = good;
    Put16(&copy[field], 0xFFFF);
    damaged.push_back(copy);
  }
  auto unsigned_copy = good;
  unsigned_copy[40] ^= 1; // the fixed part's signature
  damaged.push_back(unsigned_copy);
  for (const auto &bytes : damaged) {
    EXPECT_FALSE(ReadVersionBlock(bytes).has_value());
  }
}

} // namespace
