// SPDX-License-Identifier: Zlib
// What a GoogleTest program says of its own tests in the XML it writes (--gtest_output=xml).
#pragma once

#include <string>
#include <vector>

namespace kit {

struct TestCase {
  std::string suite; // as the program wrote them: UTF-8, XML characters unescaped
  std::string name;
  std::string time;
  enum class Result { kPassed, kFailed, kSkipped } result = Result::kPassed;
  std::string message; // the first failure's or the skip's
};

// The tests that ran (disabled ones left out); false when the text holds no test suites at all,
// which is what a program that ended before writing its report leaves.
bool ReadGtestReport(const std::string &xml, std::vector<TestCase> &cases);

std::string XmlUnescape(const std::string &text);
// For text and attribute values alike; bytes that XML 1.0 forbids become '?'.
std::string XmlEscape(const std::string &text);

} // namespace kit
