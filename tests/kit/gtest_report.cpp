// SPDX-License-Identifier: Zlib
#include "gtest_report.h"

#include <cstdlib>

namespace kit {
namespace {

// The value of attribute NAME in the tag text (from "<" to ">"), unescaped; empty when absent.
std::string Attribute(const std::string &tag, const char *name) {
  const std::string key = std::string(" ") + name + "=\"";
  const size_t at = tag.find(key);
  if (at == std::string::npos) {
    return {};
  }
  const size_t from = at + key.size();
  const size_t to = tag.find('"', from);
  return to == std::string::npos ? std::string() : XmlUnescape(tag.substr(from, to - from));
}

void AppendUtf8(std::string &out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x110000) {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

} // namespace

std::string XmlUnescape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t semicolon = text[i] == '&' ? text.find(';', i) : std::string::npos;
    if (semicolon == std::string::npos) {
      out += text[i];
      continue;
    }
    const std::string entity = text.substr(i + 1, semicolon - i - 1);
    if (entity == "amp") {
      out += '&';
    } else if (entity == "lt") {
      out += '<';
    } else if (entity == "gt") {
      out += '>';
    } else if (entity == "quot") {
      out += '"';
    } else if (entity == "apos") {
      out += '\'';
    } else if (entity.size() > 1 && entity[0] == '#') {
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      AppendUtf8(out, std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
    } else {
      out += text[i];
      continue;
    }
    i = semicolon;
  }
  return out;
}

std::string XmlEscape(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\n':
      out += "&#10;";
      break;
    case '\t':
      out += ' ';
      break;
    case '\r':
      break;
    default: {
      if (c < 0x20) {
        out += '?';
        break;
      }
      if (c < 0x80) {
        out += static_cast<char>(c);
        break;
      }
      // A test's output is in the console's code page, not UTF-8: only a whole, valid UTF-8
      // sequence goes through as it is.
      const size_t length = c >= 0xF0 && c < 0xF5   ? 4
                            : c >= 0xE0             ? 3
                            : c >= 0xC2 && c < 0xE0 ? 2
                                                    : 0;
      bool valid = length != 0 && i + length <= text.size();
      for (size_t k = 1; valid && k < length; ++k) {
        valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (!valid) {
        out += '?';
        break;
      }
      out += text.substr(i, length);
      i += length - 1;
    }
    }
  }
  return out;
}

bool ReadGtestReport(const std::string &xml, std::vector<TestCase> &cases) {
  if (xml.find("<testsuites") == std::string::npos) {
    return false;
  }
  size_t at = 0;
  while ((at = xml.find("<testcase ", at)) != std::string::npos) {
    const size_t tag_end = xml.find('>', at);
    if (tag_end == std::string::npos) {
      return false;
    }
    const std::string tag = xml.substr(at, tag_end - at + 1);
    // The body runs to the case's own end tag, or is empty when the tag closes itself.
    size_t body_end = tag_end;
    if (tag[tag.size() - 2] != '/') {
      body_end = xml.find("</testcase>", tag_end);
      if (body_end == std::string::npos) {
        return false;
      }
    }
    const std::string body =
        body_end == tag_end ? std::string() : xml.substr(tag_end + 1, body_end - tag_end - 1);
    at = body_end;
    if (Attribute(tag, "status") == "notrun") {
      continue;
    }
    TestCase test;
    test.suite = Attribute(tag, "classname");
    test.name = Attribute(tag, "name");
    test.time = Attribute(tag, "time");
    const size_t failure = body.find("<failure ");
    const size_t skipped = body.find("<skipped ");
    if (failure != std::string::npos) {
      test.result = TestCase::Result::kFailed;
      test.message = Attribute(body.substr(failure, body.find('>', failure) - failure), "message");
    } else if (Attribute(tag, "result") == "skipped" || skipped != std::string::npos) {
      test.result = TestCase::Result::kSkipped;
      if (skipped != std::string::npos) {
        test.message =
            Attribute(body.substr(skipped, body.find('>', skipped) - skipped), "message");
      }
    }
    cases.push_back(test);
  }
  return true;
}

} // namespace kit
