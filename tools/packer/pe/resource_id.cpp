// SPDX-License-Identifier: Zlib
#include "pe/resource_id.h"

#include <algorithm>
#include <iterator>

#include "base/messages.h"
#include "base/pack_error.h"

namespace packer {
namespace {

struct CaseRun {
  char16_t first, last;
  int step, offset;
};
constexpr CaseRun kUpcaseRuns[] = {
#include "pe/upcase_table.inc"
};

char16_t Upcase(char16_t unit) {
  // The runs are sorted and do not overlap: the last one starting at or below `unit`.
  auto run = std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), unit,
                              [](char16_t u, const CaseRun &r) { return u < r.first; });
  if (run == std::begin(kUpcaseRuns)) {
    return unit;
  }
  --run;
  if (unit > run->last || (unit - run->first) % run->step != 0) {
    return unit;
  }
  return static_cast<char16_t>(unit + run->offset);
}

char16_t FoldAscii(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

} // namespace

std::string ResourceId::Display() const {
  // Names may be 65,535 units long; a message shows their start.
  constexpr std::size_t kShown = 48;
  if (is_integer) {
    return std::to_string(integer);
  }
  if (text.size() <= kShown + 16) {
    return Printable(Utf16ToUtf8(text));
  }
  return Printable(Utf16ToUtf8(std::u16string_view(text).substr(0, kShown))) + "... (" +
         std::to_string(text.size()) + " characters)";
}

bool DirectoryOrder(const ResourceId &a, const ResourceId &b) {
  if (a.is_integer != b.is_integer) {
    return !a.is_integer;
  }
  return a.is_integer ? a.integer < b.integer : a.text < b.text;
}

ResourceId ParseResourceId(const std::string &text, const std::string &what) {
  if (text.empty()) {
    throw PackError(what + " is empty");
  }
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const auto digits = text.find_first_not_of('0');
    if (digits == std::string::npos || text.size() - digits > 5 ||
        std::stoul(text.substr(digits)) > 65535) {
      throw PackError(what + " " + text + ": an integer identifier must be 1 to 65535");
    }
    return ResourceId::Integer(static_cast<std::uint16_t>(std::stoul(text.substr(digits))));
  }
  if (text[0] == '#') {
    throw PackError(what + " " + Printable(text) +
                    ": a name cannot begin with \"#\" (it would be looked up as an integer)");
  }
  std::u16string units = Utf8ToUtf16(text, what);
  if (units.size() > 65535) {
    throw PackError(what + " is longer than 65535 UTF-16 units");
  }
  return ResourceId::Text(std::move(units));
}

std::u16string Utf8ToUtf16(std::string_view text, const std::string &what) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80         ? 1
                       : (lead >> 5) == 6  ? 2
                       : (lead >> 4) == 14 ? 3
                       : (lead >> 3) == 30 ? 4
                                           : 0;
    if (length == 0 || i + length > text.size()) {
      throw PackError(what + " is not valid UTF-8");
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        throw PackError(what + " is not valid UTF-8");
      }
      code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      throw PackError(what + " is not valid UTF-8");
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD; // a lone surrogate cannot be shown
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | code >> 6));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | code >> 12));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | code >> 18));
      out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::u16string UpcaseName(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t &unit : out) {
    unit = Upcase(unit);
  }
  return out;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char16_t a, char16_t b) { return FoldAscii(a) == FoldAscii(b); });
}

} // namespace packer
