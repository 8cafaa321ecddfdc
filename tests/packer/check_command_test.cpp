// SPDX-License-Identifier: Zlib
#include "cli/check_command.h"

#include <gtest/gtest.h>

#include <string>

using namespace packer;

namespace {

// Certificate names reach --check --json from files from anywhere; whatever their bytes, the
// output must stay one valid JSON string.
TEST(JsonStringTest, EscapesWhatJsonForbidsAndReplacesWhatIsNotUtf8) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"CN=Ondrel", "\"CN=Ondrel\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nend\x7f", "\"line\\u000aend\\u007f\""},
      {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x91",
       "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x94\x91\""},
      {"Latin-1 \xfc", "\"Latin-1 \\ufffd\""},                  // a lone high byte
      {"cut \xe2\x82", "\"cut \\ufffd\\ufffd\""},               // a sequence cut at the end
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},                       // an overlong '/'
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},            // a surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""}, // above U+10FFFF
      {"\xc3(", "\"\\ufffd(\""},                                // a lead byte without its follower
  };
  for (const auto &c : cases) {
    EXPECT_EQ(JsonString(c.text), c.json) << c.text;
  }
}

} // namespace
