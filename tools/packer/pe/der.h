// SPDX-License-Identifier: Zlib
// pe/: reading DER, the encoding of certificates and PKCS#7 signatures. Every length is checked
// against what encloses it: the bytes come from files of anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace packer {

using Bytes = std::span<const std::uint8_t>;

namespace der {
inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kOctetString = 0x04;
inline constexpr std::uint8_t kNull = 0x05;
inline constexpr std::uint8_t kOid = 0x06;
inline constexpr std::uint8_t kUtf8String = 0x0C;
inline constexpr std::uint8_t kPrintableString = 0x13;
inline constexpr std::uint8_t kT61String = 0x14;
inline constexpr std::uint8_t kIa5String = 0x16;
inline constexpr std::uint8_t kUtcTime = 0x17;
inline constexpr std::uint8_t kGeneralizedTime = 0x18;
inline constexpr std::uint8_t kBmpString = 0x1E;
inline constexpr std::uint8_t kSequence = 0x30;
inline constexpr std::uint8_t kSet = 0x31;
// [n] of a constructed type: an explicit tag, or an implicit SET or SEQUENCE.
constexpr std::uint8_t Context(unsigned n) { return static_cast<std::uint8_t>(0xA0 | n); }
} // namespace der

// One element: its tag (single-byte tags only, all that certificates and signatures use), its
// contents, and its whole encoding with tag and length.
struct DerElement {
  std::uint8_t tag = 0;
  Bytes contents;
  Bytes encoding;
};

// Input that is not the DER expected; `what` says which part (a caller adds where it was).
struct DerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the elements of a run of DER one by one. Anything malformed (a long tag, an indefinite
// or non-minimal length, a length past the end, a tag other than the one expected) throws
// DerError, so no caller can go on with half-read input.
class DerReader {
public:
  explicit DerReader(Bytes data) : rest_(data) {}

  bool AtEnd() const { return rest_.empty(); }

  // The next element, of any tag.
  DerElement Next();
  // The next element, which must carry `tag`.
  DerElement Expect(std::uint8_t tag);
  // The next element when it carries `tag`; nothing read otherwise.
  bool Optional(std::uint8_t tag, DerElement *element);
  // A reader over the contents of the next element, which must carry `tag`.
  DerReader Enter(std::uint8_t tag) { return DerReader(Expect(tag).contents); }

private:
  Bytes rest_;
};

// Dotted text of an object identifier's contents ("1.2.840.113549.1.7.2"); empty when malformed.
std::string OidText(Bytes contents);

// An X.501 name as one line ("CN=Velmora Code Signing, O=Velmora"), in the order stored; control
// characters escaped so that it stays one line.
std::string NameText(Bytes name_contents);

// A UTCTime or GeneralizedTime as "YYYY-MM-DDTHH:MM:SSZ"; empty when it is not one.
std::string TimeText(const DerElement &time);

} // namespace packer
