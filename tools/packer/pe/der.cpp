// SPDX-License-Identifier: Zlib
#include "pe/der.h"

#include "base/messages.h"

namespace packer {

DerElement DerReader::Next() {
  if (rest_.size() < 2) {
    throw DerError("truncated");
  }
  DerElement element;
  element.tag = rest_[0];
  if ((element.tag & 0x1F) == 0x1F) {
    throw DerError("a multi-byte tag");
  }
  std::size_t length = rest_[1];
  std::size_t header = 2;
  if (length & 0x80) {
    const std::size_t count = length & 0x7F;
    // Four length bytes reach 4 GiB, more than any certificate table holds.
    if (count == 0 || count > 4 || rest_.size() < 2 + count) {
      throw DerError("a bad length");
    }
    length = 0;
    for (std::size_t i = 0; i < count; ++i) {
      length = (length << 8) | rest_[2 + i];
    }
    if (rest_[2] == 0 || length < 0x80) {
      throw DerError("a length not in its shortest form");
    }
    header += count;
  }
  if (length > rest_.size() - header) {
    throw DerError("a length past its end");
  }
  element.contents = rest_.subspan(header, length);
  element.encoding = rest_.first(header + length);
  rest_ = rest_.subspan(header + length);
  return element;
}

DerElement DerReader::Expect(std::uint8_t tag) {
  if (rest_.empty() || rest_[0] != tag) {
    throw DerError(rest_.empty() ? "truncated"
                                 : Formatted("tag 0x%02X where 0x%02X belongs", rest_[0], tag));
  }
  return Next();
}

bool DerReader::Optional(std::uint8_t tag, DerElement *element) {
  if (rest_.empty() || rest_[0] != tag) {
    return false;
  }
  *element = Next();
  return true;
}

std::string OidText(Bytes contents) {
  if (contents.empty() || (contents.back() & 0x80)) {
    return {};
  }
  std::string text;
  std::uint64_t value = 0;
  bool first = true;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    if (value == 0 && contents[i] == 0x80) {
      return {}; // not minimal
    }
    if (value > (UINT64_MAX >> 7)) {
      return {};
    }
    value = (value << 7) | (contents[i] & 0x7F);
    if (contents[i] & 0x80) {
      continue;
    }
    if (first) {
      const unsigned arc = value < 40 ? 0 : value < 80 ? 1 : 2;
      text = Formatted("%u.%llu", arc, static_cast<unsigned long long>(value - 40 * arc));
      first = false;
    } else {
      text += Formatted(".%llu", static_cast<unsigned long long>(value));
    }
    value = 0;
  }
  return text;
}

namespace {

void AppendUtf8(std::string &out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A directory string as UTF-8. T61String is read as Latin-1, as most readers do; surrogates of a
// BMPString cannot occur in it (it is UCS-2) and show as U+FFFD.
std::string StringText(const DerElement &value) {
  std::string text;
  switch (value.tag) {
  case der::kBmpString:
    for (std::size_t i = 0; i + 1 < value.contents.size(); i += 2) {
      const std::uint32_t c = (value.contents[i] << 8) | value.contents[i + 1];
      AppendUtf8(text, c >= 0xD800 && c < 0xE000 ? 0xFFFD : c);
    }
    return text;
  case der::kT61String:
    for (std::uint8_t b : value.contents) {
      AppendUtf8(text, b);
    }
    return text;
  default:
    return std::string(value.contents.begin(), value.contents.end());
  }
}

const char *AttributeName(const std::string &oid) {
  static const struct {
    const char *oid, *name;
  } kNames[] = {{"2.5.4.3", "CN"},
                {"2.5.4.6", "C"},
                {"2.5.4.7", "L"},
                {"2.5.4.8", "ST"},
                {"2.5.4.10", "O"},
                {"2.5.4.11", "OU"},
                {"2.5.4.5", "serialNumber"},
                {"1.2.840.113549.1.9.1", "emailAddress"}};
  for (const auto &n : kNames) {
    if (oid == n.oid) {
      return n.name;
    }
  }
  return nullptr;
}

} // namespace

std::string NameText(Bytes name_contents) {
  std::string text;
  DerReader rdns(name_contents);
  while (!rdns.AtEnd()) {
    DerReader rdn = rdns.Enter(der::kSet);
    while (!rdn.AtEnd()) {
      DerReader attribute = rdn.Enter(der::kSequence);
      const std::string oid = OidText(attribute.Expect(der::kOid).contents);
      const DerElement value = attribute.Next();
      const char *name = AttributeName(oid);
      if (!text.empty()) {
        text += ", ";
      }
      text += (name ? std::string(name) : oid) + "=" + StringText(value);
    }
  }
  return Printable(text);
}

std::string TimeText(const DerElement &time) {
  const std::string text(time.contents.begin(), time.contents.end());
  std::string digits;
  if (time.tag == der::kUtcTime && text.size() == 13 && text.back() == 'Z') {
    // Two-digit years: 50 to 99 are the 1900s.
    digits = (text[0] >= '5' ? "19" : "20") + text.substr(0, 12);
  } else if (time.tag == der::kGeneralizedTime && text.size() >= 15 && text.back() == 'Z') {
    digits = text.substr(0, 14); // fractions of a second are dropped
  } else {
    return {};
  }
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return {};
    }
  }
  return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2) + "T" +
         digits.substr(8, 2) + ":" + digits.substr(10, 2) + ":" + digits.substr(12, 2) + "Z";
}

} // namespace packer
