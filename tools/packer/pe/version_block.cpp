// SPDX-License-Identifier: Zlib
#include "pe/version_block.h"

#include "base/little_endian.h"
#include "base/messages.h"
#include "base/pack_error.h"

namespace packer {
namespace {

constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::uint32_t kFixedStructVersion = 0x00010000;
constexpr std::size_t kFixedSize = 52;
constexpr std::size_t kMaxBlock = 0xFFFF;
constexpr std::uint16_t kBinary = 0, kText = 1;

void Pad4(std::vector<std::uint8_t> &out) {
  while (out.size() % 4 != 0) {
    out.push_back(0);
  }
}

void PutUnits(std::vector<std::uint8_t> &out, const std::u16string &text) {
  for (char16_t unit : text) {
    out.push_back(static_cast<std::uint8_t>(unit));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  out.push_back(0);
  out.push_back(0);
}

// One node: its header, key and value, then its children, each on a 32-bit boundary. wLength
// leaves out the padding after the last byte, as resource compilers write it; the parent pads
// before the next child. Lengths beyond 16 bits are caught by the caller on the whole block,
// which holds every node.
std::vector<std::uint8_t> Node(const std::u16string &key, std::uint16_t type,
                               const std::vector<std::uint8_t> &value, std::size_t value_length,
                               const std::vector<std::vector<std::uint8_t>> &children) {
  std::vector<std::uint8_t> out(6);
  PutUnits(out, key);
  Pad4(out);
  out.insert(out.end(), value.begin(), value.end());
  for (const auto &child : children) {
    Pad4(out);
    out.insert(out.end(), child.begin(), child.end());
  }
  Put16(out.data(), static_cast<std::uint32_t>(out.size() & 0xFFFF));
  Put16(out.data() + 2, static_cast<std::uint32_t>(value_length & 0xFFFF));
  Put16(out.data() + 4, type);
  return out;
}

std::vector<std::uint8_t> FixedPart(const VersionInfo &info) {
  std::vector<std::uint8_t> fixed(kFixedSize);
  const std::uint32_t fields[] = {kFixedSignature,
                                  kFixedStructVersion,
                                  info.file.High(),
                                  info.file.Low(),
                                  info.product.High(),
                                  info.product.Low(),
                                  0x3F, // VS_FFI_FILEFLAGSMASK
                                  0,
                                  0x4, // VOS__WINDOWS32
                                  0x1, // VFT_APP
                                  0,
                                  0,
                                  0};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    Put32(fixed.data() + 4 * i, fields[i]);
  }
  return fixed;
}

// Reads nodes within [begin, end) of the block, each inside its parent.
class BlockReader {
public:
  explicit BlockReader(const std::vector<std::uint8_t> &bytes) : bytes_(bytes) {}

  struct Parsed {
    std::u16string key;
    std::uint16_t value_length = 0, type = 0;
    std::size_t value = 0, children = 0, end = 0;
  };

  // The node at `at`, which must end by `limit`.
  std::optional<Parsed> At(std::size_t at, std::size_t limit) const {
    if (at + 6 > limit) {
      return std::nullopt;
    }
    Parsed node;
    const std::size_t length = Get16(&bytes_[at]);
    node.value_length = Get16(&bytes_[at + 2]);
    node.type = Get16(&bytes_[at + 4]);
    if (length < 6 || at + length > limit) {
      return std::nullopt;
    }
    node.end = at + length;
    std::size_t p = at + 6;
    for (;; p += 2) {
      if (p + 2 > node.end) {
        return std::nullopt;
      }
      const char16_t unit = static_cast<char16_t>(Get16(&bytes_[p]));
      if (unit == 0) {
        break;
      }
      node.key.push_back(unit);
    }
    node.value = Align(p + 2);
    const std::size_t value_bytes =
        node.type == kText ? std::size_t{node.value_length} * 2 : node.value_length;
    node.children = Align(std::min(node.value + value_bytes, node.end));
    return node;
  }

  std::u16string Text(const Parsed &node) const {
    std::u16string text;
    for (std::size_t p = node.value, n = 0; n < node.value_length && p + 2 <= node.end;
         p += 2, ++n) {
      const char16_t unit = static_cast<char16_t>(Get16(&bytes_[p]));
      if (unit == 0) {
        break;
      }
      text.push_back(unit);
    }
    return text;
  }

  static std::size_t Align(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

private:
  const std::vector<std::uint8_t> &bytes_;
};

} // namespace

std::string VersionNumber::Text() const {
  return Formatted("%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
}

VersionNumber ParseVersionNumber(const std::string &text, const std::string &option) {
  const auto refuse = [&](const std::string &why) -> VersionNumber {
    throw PackError(option + " " + Printable(text) + ": " + why, 2);
  };
  VersionNumber number;
  std::size_t part = 0, digits = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0) {
        return refuse("a version is one to four numbers joined by dots (1.2.3.4)");
      }
      if (part == 4) {
        return refuse("a version has at most four parts");
      }
      number.parts[part++] = static_cast<std::uint16_t>(value);
      value = 0;
      digits = 0;
    } else if (text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
      ++digits;
      if (value > 0xFFFF) {
        return refuse("each part of a version is 0 to 65535");
      }
    } else {
      return refuse("a version is one to four numbers joined by dots (1.2.3.4)");
    }
  }
  return number;
}

std::vector<std::uint8_t> WriteVersionBlock(const VersionInfo &info) {
  std::vector<std::vector<std::uint8_t>> strings;
  for (const VersionString &s : info.strings) {
    std::vector<std::uint8_t> value;
    PutUnits(value, s.value);
    // A text value's length counts UTF-16 units, its NUL included.
    strings.push_back(Node(s.key, kText, value, s.value.size() + 1, {}));
  }
  const auto table = Node(u"040904b0", kText, {}, 0, strings);
  const auto string_info = Node(u"StringFileInfo", kText, {}, 0, {table});
  const std::vector<std::uint8_t> translation = {0x09, 0x04, 0xB0, 0x04}; // 0x0409, code page 1200
  const auto var = Node(u"Translation", kBinary, translation, translation.size(), {});
  const auto var_info = Node(u"VarFileInfo", kText, {}, 0, {var});
  auto block =
      Node(u"VS_VERSION_INFO", kBinary, FixedPart(info), kFixedSize, {string_info, var_info});
  // Every node lies within the block: when it fits its length field, so do theirs.
  if (block.size() > kMaxBlock) {
    throw PackError(Formatted("the version block would take %zu bytes, and holds at most 65535 "
                              "(shorten the --version-info values)",
                              block.size()),
                    2);
  }
  return block;
}

std::optional<VersionInfo> ReadVersionBlock(const std::vector<std::uint8_t> &bytes) {
  const BlockReader reader(bytes);
  const auto root = reader.At(0, bytes.size());
  if (!root || root->key != u"VS_VERSION_INFO" || root->value_length != kFixedSize ||
      root->value + kFixedSize > root->end || Get32(&bytes[root->value]) != kFixedSignature) {
    return std::nullopt;
  }
  VersionInfo info;
  const std::uint8_t *fixed = &bytes[root->value];
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t file = Get32(fixed + 8 + 4 * (i / 2));
    const std::uint32_t product = Get32(fixed + 16 + 4 * (i / 2));
    const int shift = i % 2 == 0 ? 16 : 0;
    info.file.parts[i] = static_cast<std::uint16_t>(file >> shift);
    info.product.parts[i] = static_cast<std::uint16_t>(product >> shift);
  }
  for (std::size_t at = root->children; at < root->end;) {
    const auto child = reader.At(at, root->end);
    if (!child) {
      return std::nullopt;
    }
    if (child->key == u"StringFileInfo") {
      const auto table = reader.At(child->children, child->end);
      for (std::size_t s = table ? table->children : child->end; table && s < table->end;) {
        const auto string = reader.At(s, table->end);
        if (!string) {
          return std::nullopt;
        }
        info.strings.push_back({string->key, reader.Text(*string)});
        s = BlockReader::Align(string->end);
      }
      return info;
    }
    at = BlockReader::Align(child->end);
  }
  return info;
}

} // namespace packer
