// SPDX-License-Identifier: Zlib
#include "pe/authenticode.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/little_endian.h"
#include "base/messages.h"
#include "pe/der.h"
#include "platform/crypto.h"

namespace packer {
namespace {

constexpr std::uint16_t kCertificateRevision = 0x0200;
constexpr std::uint16_t kPkcsSignedData = 0x0002;
// Real tables hold a few certificates; this bounds what a hostile file makes the reader hold.
constexpr std::uint32_t kMaxTable = 16u << 20;
// Nesting beyond a few levels is no signing tool's doing, and would let a small table make many
// reports.
constexpr unsigned kMaxDepth = 4;
constexpr std::size_t kMaxSignatures = 64;
constexpr std::size_t kBufferSize = 1 << 16;

namespace oid {
constexpr const char *kSignedData = "1.2.840.113549.1.7.2";
constexpr const char *kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char *kMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char *kSigningTime = "1.2.840.113549.1.9.5";
constexpr const char *kCounterSignature = "1.2.840.113549.1.9.6";
constexpr const char *kTstInfo = "1.2.840.113549.1.9.16.1.4";
constexpr const char *kNestedSignature = "1.3.6.1.4.1.311.2.4.1";
constexpr const char *kRfc3161TimeStamp = "1.3.6.1.4.1.311.3.3.1";
} // namespace oid

struct Algorithm {
  const char *oid;
  const char *name;
  HashAlgorithm hash;
};
constexpr Algorithm kAlgorithms[] = {
    {"2.16.840.1.101.3.4.2.1", "SHA-256", HashAlgorithm::kSha256},
    {"2.16.840.1.101.3.4.2.2", "SHA-384", HashAlgorithm::kSha384},
    {"2.16.840.1.101.3.4.2.3", "SHA-512", HashAlgorithm::kSha512},
};

const Algorithm *FindAlgorithm(const std::string &dotted) {
  for (const Algorithm &a : kAlgorithms) {
    if (dotted == a.oid) {
      return &a;
    }
  }
  return nullptr;
}

std::string Hex(Bytes bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

bool Equal(Bytes a, Bytes b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

std::string OidOf(DerReader &reader) { return OidText(reader.Expect(der::kOid).contents); }

// An AlgorithmIdentifier's OID; its parameters (NULL or none for hashes) are not needed.
std::string AlgorithmOid(DerReader &reader) {
  DerReader algorithm = reader.Enter(der::kSequence);
  return OidOf(algorithm);
}

// A SignerInfo's attributes: OID to the contents of its SET of values.
std::multimap<std::string, Bytes> Attributes(Bytes set_contents) {
  std::multimap<std::string, Bytes> attributes;
  DerReader reader(set_contents);
  while (!reader.AtEnd()) {
    DerReader attribute = reader.Enter(der::kSequence);
    std::string type = OidOf(attribute);
    attributes.emplace(std::move(type), attribute.Expect(der::kSet).contents);
  }
  return attributes;
}

struct SignerId {
  Bytes issuer; // the Name's whole encoding
  Bytes serial; // the INTEGER's contents
};

struct Certificate {
  std::string subject;
  Bytes public_key; // SubjectPublicKeyInfo, whole
};

// The certificate in `certificates` (the contents of SignedData's [0]) that `id` names.
std::optional<Certificate> FindCertificate(Bytes certificates, const SignerId &id) {
  DerReader reader(certificates);
  while (!reader.AtEnd()) {
    const DerElement element = reader.Next();
    if (element.tag != der::kSequence) {
      continue; // an attribute certificate or another choice: never a signer's
    }
    DerReader certificate(element.contents);
    DerReader tbs = certificate.Enter(der::kSequence);
    DerElement version;
    tbs.Optional(der::Context(0), &version);
    const Bytes serial = tbs.Expect(der::kInteger).contents;
    tbs.Expect(der::kSequence); // signature algorithm
    const DerElement issuer = tbs.Expect(der::kSequence);
    tbs.Expect(der::kSequence); // validity
    const DerElement subject = tbs.Expect(der::kSequence);
    const DerElement key = tbs.Expect(der::kSequence);
    if (Equal(issuer.encoding, id.issuer) && Equal(serial, id.serial)) {
      return Certificate{NameText(subject.contents), key.encoding};
    }
  }
  return std::nullopt;
}

// The parts of a SignerInfo the checks use.
struct SignerInfo {
  SignerId id;
  std::string digest_oid;
  DerElement signed_attributes; // [0] IMPLICIT SET OF Attribute
  Bytes signature;
  std::optional<DerElement> unsigned_attributes;
};

SignerInfo ReadSignerInfo(DerReader &reader) {
  SignerInfo info;
  DerReader signer = reader.Enter(der::kSequence);
  signer.Expect(der::kInteger);
  DerReader id = signer.Enter(der::kSequence); // issuer and serial number
  info.id.issuer = id.Expect(der::kSequence).encoding;
  info.id.serial = id.Expect(der::kInteger).contents;
  info.digest_oid = AlgorithmOid(signer);
  info.signed_attributes = signer.Expect(der::Context(0));
  AlgorithmOid(signer); // the key's algorithm comes from the certificate
  info.signature = signer.Expect(der::kOctetString).contents;
  DerElement unsigned_attributes;
  if (signer.Optional(der::Context(1), &unsigned_attributes)) {
    info.unsigned_attributes = unsigned_attributes;
  }
  return info;
}

// A SignedData in its ContentInfo; `content_type` receives the type of what it signs.
struct SignedData {
  std::string content_type;
  Bytes content; // the explicit [0] content's contents
  Bytes certificates;
  SignerInfo signer;
};

SignedData ReadSignedData(Bytes content_info) {
  DerReader outer(content_info);
  DerReader info = outer.Enter(der::kSequence);
  if (OidOf(info) != oid::kSignedData) {
    throw DerError("not PKCS#7 signed data");
  }
  DerReader explicit_content = info.Enter(der::Context(0));
  DerReader signed_data = explicit_content.Enter(der::kSequence);
  SignedData data;
  signed_data.Expect(der::kInteger);
  signed_data.Expect(der::kSet); // digest algorithms, repeated in the signer
  DerReader encapsulated = signed_data.Enter(der::kSequence);
  data.content_type = OidOf(encapsulated);
  data.content = encapsulated.Expect(der::Context(0)).contents;
  DerElement element;
  if (signed_data.Optional(der::Context(0), &element)) {
    data.certificates = element.contents;
  }
  signed_data.Optional(der::Context(1), &element); // revocation lists
  DerReader signers = signed_data.Enter(der::kSet);
  data.signer = ReadSignerInfo(signers);
  if (!signers.AtEnd()) {
    throw DerError("more than one signer");
  }
  return data;
}

// What a signature claims, kept until the file's digests are known.
struct Claim {
  SignatureReport report;
  const Algorithm *algorithm = nullptr;
  std::vector<std::uint8_t> signed_digest;
};

void ReadTimeStamps(const SignedData &data, SignatureReport &report) {
  if (!data.signer.unsigned_attributes) {
    return;
  }
  const auto attributes = Attributes(data.signer.unsigned_attributes->contents);
  if (auto it = attributes.find(oid::kRfc3161TimeStamp); it != attributes.end()) {
    DerReader values(it->second);
    const SignedData token = ReadSignedData(values.Next().encoding);
    if (token.content_type != oid::kTstInfo) {
      throw DerError("a time stamp that holds no time-stamp info");
    }
    DerReader octets(token.content);
    DerReader outer(octets.Expect(der::kOctetString).contents);
    DerReader info = outer.Enter(der::kSequence);
    info.Expect(der::kInteger);
    info.Expect(der::kOid); // policy
    DerReader imprint = info.Enter(der::kSequence);
    const std::string imprint_oid = AlgorithmOid(imprint);
    const Bytes imprint_digest = imprint.Expect(der::kOctetString).contents;
    info.Expect(der::kInteger); // serial number
    report.timestamp_time = TimeText(info.Expect(der::kGeneralizedTime));
    report.timestamp_kind = "rfc3161";
    const auto certificate = FindCertificate(token.certificates, token.signer.id);
    report.timestamp_authority = certificate ? certificate->subject : "";
    // A time stamp is over the signature it is attached to; one taken from another file is not.
    const Algorithm *algorithm = FindAlgorithm(imprint_oid);
    if (!algorithm || !Equal(Hash(algorithm->hash, data.signer.signature), imprint_digest)) {
      report.fault = "its time stamp is not over this signature";
      report.timestamp_foreign = true;
    }
    return;
  }
  if (auto it = attributes.find(oid::kCounterSignature); it != attributes.end()) {
    DerReader values(it->second);
    const SignerInfo counter = ReadSignerInfo(values);
    const auto counter_attributes = Attributes(counter.signed_attributes.contents);
    if (auto time = counter_attributes.find(oid::kSigningTime); time != counter_attributes.end()) {
      DerReader value(time->second);
      report.timestamp_time = TimeText(value.Next());
    }
    report.timestamp_kind = "authenticode";
    const auto certificate = FindCertificate(data.certificates, counter.id);
    report.timestamp_authority = certificate ? certificate->subject : "";
  }
}

void ReadSignature(Bytes content_info, unsigned depth, std::vector<Claim> &claims) {
  if (claims.size() >= kMaxSignatures) {
    return;
  }
  const std::size_t index = claims.size();
  claims.emplace_back();
  claims[index].report.depth = depth;
  std::vector<Bytes> nested;
  try {
    const SignedData data = ReadSignedData(content_info);
    if (data.content_type != oid::kSpcIndirectData) {
      throw DerError("not an Authenticode signature");
    }
    // SpcIndirectDataContent: what is signed, and the image's digest.
    DerReader content_reader(data.content);
    const DerElement indirect = content_reader.Expect(der::kSequence);
    DerReader spc(indirect.contents);
    spc.Expect(der::kSequence);
    DerReader digest_info = spc.Enter(der::kSequence);
    const std::string digest_oid = AlgorithmOid(digest_info);
    const Bytes signed_digest = digest_info.Expect(der::kOctetString).contents;

    Claim &claim = claims[index];
    SignatureReport &report = claim.report;
    const Algorithm *algorithm = FindAlgorithm(digest_oid);
    report.digest_algorithm = algorithm ? algorithm->name : digest_oid;
    report.signed_digest = Hex(signed_digest);
    claim.algorithm = algorithm;
    claim.signed_digest.assign(signed_digest.begin(), signed_digest.end());

    const SignerInfo &signer = data.signer;
    DerReader issuer(signer.id.issuer);
    report.issuer = NameText(issuer.Expect(der::kSequence).contents);
    const auto certificate = FindCertificate(data.certificates, signer.id);
    if (certificate) {
      report.subject = certificate->subject;
    }
    ReadTimeStamps(data, report);

    const Algorithm *signer_algorithm = FindAlgorithm(signer.digest_oid);
    if (!algorithm || !signer_algorithm) {
      report.fault = "its digest algorithm " + (algorithm ? signer.digest_oid : digest_oid) +
                     " is not SHA-256, SHA-384 or SHA-512";
    } else if (!certificate) {
      report.fault = "its signer's certificate is not in it";
    } else {
      // The signer signs its attributes (as a SET), and they hold the digest of the content
      // without the content's own tag and length.
      const auto attributes = Attributes(signer.signed_attributes.contents);
      const auto message_digest = attributes.find(oid::kMessageDigest);
      std::vector<std::uint8_t> signed_bytes(signer.signed_attributes.encoding.begin(),
                                             signer.signed_attributes.encoding.end());
      signed_bytes[0] = der::kSet;
      bool attributes_match = false;
      if (message_digest != attributes.end()) {
        DerReader value(message_digest->second);
        attributes_match = Equal(Hash(signer_algorithm->hash, indirect.contents),
                                 value.Expect(der::kOctetString).contents);
      }
      report.signature_verifies =
          attributes_match && VerifySignature(certificate->public_key, signer_algorithm->hash,
                                              signed_bytes, signer.signature);
      if (!report.signature_verifies && report.fault.empty()) {
        report.fault = "its signature does not verify against its signer's certificate";
      }
    }
    if (signer.unsigned_attributes && depth < kMaxDepth) {
      const auto unsigned_attributes = Attributes(signer.unsigned_attributes->contents);
      for (auto [it, end] = unsigned_attributes.equal_range(oid::kNestedSignature); it != end;
           ++it) {
        DerReader values(it->second);
        while (!values.AtEnd()) {
          nested.push_back(values.Next().encoding);
        }
      }
    }
  } catch (const DerError &error) {
    claims[index].report.fault = std::string("it cannot be read (") + error.what() + ")";
    return;
  }
  for (Bytes inner : nested) {
    ReadSignature(inner, depth + 1, claims);
  }
}

struct TableLocation {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The image's Authenticode digests, one per algorithm asked for: the file up to the certificate
// table (or its end), without the checksum and the security directory entry, which signing
// changes. An unsigned file is hashed as its signer will find it, padded with zeros to eight
// bytes where the table will start.
std::map<HashAlgorithm, std::vector<std::uint8_t>>
ImageDigests(const InputFile &file, const PeImage &image, std::uint64_t end,
             const std::vector<HashAlgorithm> &algorithms, bool pad) {
  std::map<HashAlgorithm, std::unique_ptr<Hasher>> hashers;
  for (HashAlgorithm algorithm : algorithms) {
    if (!hashers.count(algorithm)) {
      hashers.emplace(algorithm, std::make_unique<Hasher>(algorithm));
    }
  }
  const std::uint64_t checksum = image.optional_offset + optional_header::kCheckSum;
  const std::uint64_t entry =
      image.optional_offset + optional_header::kDataDirectories + 8 * kSecurityDirectory;
  const struct {
    std::uint64_t from, to;
  } ranges[] = {{0, checksum}, {checksum + 4, entry}, {entry + 8, end}};
  std::vector<std::uint8_t> buffer(kBufferSize);
  for (const auto &range : ranges) {
    for (std::uint64_t at = range.from; at < range.to;) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(range.to - at, buffer.size()));
      file.ReadAt(at, buffer.data(), count);
      for (auto &[algorithm, hasher] : hashers) {
        hasher->Update(Bytes(buffer.data(), count));
      }
      at += count;
    }
  }
  if (pad && end % 8 != 0) {
    const std::uint8_t zeros[8] = {};
    for (auto &[algorithm, hasher] : hashers) {
      hasher->Update(Bytes(zeros, 8 - end % 8));
    }
  }
  std::map<HashAlgorithm, std::vector<std::uint8_t>> digests;
  for (auto &[algorithm, hasher] : hashers) {
    digests.emplace(algorithm, hasher->Finish());
  }
  return digests;
}

// The table's entries (WIN_CERTIFICATE: length, revision, type, then the PKCS#7 signature), each
// on an eight-byte boundary.
std::string ReadTable(const std::vector<std::uint8_t> &table, std::vector<Claim> &claims) {
  std::size_t at = 0;
  while (at < table.size()) {
    if (table.size() - at < 8) {
      return "the certificate table ends inside an entry";
    }
    const std::uint32_t length = Get32(&table[at]);
    const std::uint16_t revision = Get16(&table[at + 4]);
    const std::uint16_t type = Get16(&table[at + 6]);
    if (length < 8 || length > table.size() - at) {
      return "the certificate table has an entry of a bad length";
    }
    if (revision != kCertificateRevision || type != kPkcsSignedData) {
      return Formatted("the certificate table has an entry that is not an Authenticode signature "
                       "(revision 0x%04X, type 0x%04X)",
                       revision, type);
    }
    // The signature may be followed by padding inside its entry: read one element only.
    DerReader entry(Bytes(&table[at + 8], length - 8));
    try {
      ReadSignature(entry.Next().encoding, 0, claims);
    } catch (const DerError &error) {
      return std::string("the certificate table holds a signature that cannot be read (") +
             error.what() + ")";
    }
    at += (static_cast<std::size_t>(length) + 7) & ~std::size_t{7};
  }
  return {};
}

} // namespace

bool AuthenticodeReport::Sound() const { return has_table && FirstFault().empty(); }

std::string AuthenticodeReport::FirstFault() const {
  if (!fault.empty()) {
    return fault;
  }
  if (has_table && signatures.empty()) {
    return "the certificate table holds no signature";
  }
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    if (!signatures[i].fault.empty()) {
      return Formatted("signature %zu: ", i + 1) + signatures[i].fault;
    }
  }
  return {};
}

AuthenticodeReport InspectAuthenticode(const InputFile &file, const PeImage &image) {
  AuthenticodeReport report;
  const DataDirectory directory = image.Directory(kSecurityDirectory);
  std::uint64_t end = file.size();
  std::vector<Claim> claims;
  report.has_table = directory.rva != 0 || directory.size != 0;
  if (report.has_table) {
    // The security directory holds a file offset, not an address.
    const TableLocation table{directory.rva, directory.size};
    if (table.offset > file.size() || table.size > file.size() - table.offset) {
      report.fault = "the certificate table runs past the end of the file";
    } else if (table.offset < image.end_of_sections || table.offset % 8 != 0 || table.size < 8) {
      report.fault = "the certificate table is not where one belongs";
    } else if (table.offset + table.size != file.size()) {
      report.fault = "there is data after the certificate table";
    } else if (table.size > kMaxTable) {
      report.fault = "the certificate table is larger than any signing tool writes";
    } else {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(table.size));
      file.ReadAt(table.offset, bytes.data(), bytes.size());
      report.fault = ReadTable(bytes, claims);
    }
    end = std::min(table.offset, end);
  }
  std::vector<HashAlgorithm> algorithms{HashAlgorithm::kSha256};
  for (const Claim &claim : claims) {
    if (claim.algorithm) {
      algorithms.push_back(claim.algorithm->hash);
    }
  }
  auto digests = ImageDigests(file, image, end, algorithms, !report.has_table);
  report.content_digest = Hex(digests[HashAlgorithm::kSha256]);
  for (Claim &claim : claims) {
    SignatureReport &signature = claim.report;
    if (claim.algorithm) {
      signature.digest_matches = claim.signed_digest == digests[claim.algorithm->hash];
      if (!signature.digest_matches && (signature.fault.empty() || !signature.signature_verifies)) {
        signature.fault = "its digest does not match the file: the file changed after signing";
      }
    }
    report.signatures.push_back(std::move(signature));
  }
  return report;
}

} // namespace packer
