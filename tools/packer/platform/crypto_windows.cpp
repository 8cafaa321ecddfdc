// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/pack_error.h"
#include "platform/crypto.h"

namespace packer {
namespace {

const wchar_t *AlgorithmName(HashAlgorithm algorithm) {
  switch (algorithm) {
  case HashAlgorithm::kSha384:
    return BCRYPT_SHA384_ALGORITHM;
  case HashAlgorithm::kSha512:
    return BCRYPT_SHA512_ALGORITHM;
  default:
    return BCRYPT_SHA256_ALGORITHM;
  }
}

bool Succeeded(NTSTATUS status) { return status >= 0; }

// One DER INTEGER of an ECDSA signature, as the fixed-size big-endian number CNG takes.
bool ReadInteger(const std::uint8_t *&at, const std::uint8_t *end, std::size_t size,
                 std::uint8_t *out) {
  if (end - at < 2 || at[0] != 0x02 || at[1] >= 0x80 || end - at - 2 < at[1]) {
    return false;
  }
  std::size_t length = at[1];
  const std::uint8_t *value = at + 2;
  at = value + length;
  while (length > 0 && *value == 0) {
    ++value;
    --length;
  }
  if (length > size) {
    return false;
  }
  std::fill(out, out + size - length, 0);
  std::copy(value, value + length, out + size - length);
  return true;
}

// ECDSA-Sig-Value (SEQUENCE of r and s) as r and s side by side, each `size` bytes.
bool RawEcdsaSignature(std::span<const std::uint8_t> der, std::size_t size,
                       std::vector<std::uint8_t> &raw) {
  // A P-521 signature is about 140 bytes, so the sequence's length takes at most one more byte.
  const std::uint8_t *at = der.data();
  const std::uint8_t *end = at + der.size();
  if (der.size() < 2 || at[0] != 0x30) {
    return false;
  }
  std::size_t length = at[1];
  at += 2;
  if (length == 0x81 && end - at >= 1) {
    length = *at++;
  } else if (length >= 0x80) {
    return false;
  }
  if (static_cast<std::size_t>(end - at) != length) {
    return false;
  }
  raw.assign(2 * size, 0);
  return ReadInteger(at, end, size, raw.data()) && ReadInteger(at, end, size, raw.data() + size) &&
         at == end;
}

} // namespace

struct Hasher::State {
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::size_t size = 0;
  // The hash first: CNG wants its provider open for as long as the hash lives.
  ~State() {
    if (hash) {
      BCryptDestroyHash(hash);
    }
    if (provider) {
      BCryptCloseAlgorithmProvider(provider, 0);
    }
  }
};

Hasher::Hasher(HashAlgorithm algorithm) : state_(std::make_unique<State>()) {
  state_->size = algorithm == HashAlgorithm::kSha384   ? 48
                 : algorithm == HashAlgorithm::kSha512 ? 64
                                                       : 32;
  if (!Succeeded(
          BCryptOpenAlgorithmProvider(&state_->provider, AlgorithmName(algorithm), nullptr, 0)) ||
      !Succeeded(BCryptCreateHash(state_->provider, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    throw PackError("cannot start a hash (CNG)");
  }
}

Hasher::~Hasher() = default;

void Hasher::Update(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ULONG count = static_cast<ULONG>(std::min<std::size_t>(data.size(), 1u << 30));
    if (!Succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(data.data()), count, 0))) {
      throw PackError("cannot hash (CNG)");
    }
    data = data.subspan(count);
  }
}

std::vector<std::uint8_t> Hasher::Finish() {
  std::vector<std::uint8_t> digest(state_->size);
  if (!Succeeded(
          BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw PackError("cannot hash (CNG)");
  }
  return digest;
}

std::vector<std::uint8_t> Hash(HashAlgorithm algorithm, std::span<const std::uint8_t> data) {
  Hasher hasher(algorithm);
  hasher.Update(data);
  return hasher.Finish();
}

namespace {

// An elliptic-curve key as CNG imports it: the curve named by the key's parameters, the point
// uncompressed (04, X, Y) in its bit string.
struct Curve {
  std::span<const std::uint8_t> oid; // the parameters' DER
  const wchar_t *algorithm;
  ULONG magic;
  std::size_t size;
};
constexpr std::uint8_t kP256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::uint8_t kP384[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
constexpr std::uint8_t kP521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
const Curve kCurves[] = {
    {kP256, BCRYPT_ECDSA_P256_ALGORITHM, BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32},
    {kP384, BCRYPT_ECDSA_P384_ALGORITHM, BCRYPT_ECDSA_PUBLIC_P384_MAGIC, 48},
    {kP521, BCRYPT_ECDSA_P521_ALGORITHM, BCRYPT_ECDSA_PUBLIC_P521_MAGIC, 66},
};

bool VerifyEcdsa(const CERT_PUBLIC_KEY_INFO &info, std::span<const std::uint8_t> digest,
                 std::span<const std::uint8_t> signature) {
  const std::span<const std::uint8_t> parameters(info.Algorithm.Parameters.pbData,
                                                 info.Algorithm.Parameters.cbData);
  const std::span<const std::uint8_t> point(info.PublicKey.pbData, info.PublicKey.cbData);
  for (const Curve &curve : kCurves) {
    if (!std::equal(parameters.begin(), parameters.end(), curve.oid.begin(), curve.oid.end())) {
      continue;
    }
    std::vector<std::uint8_t> raw;
    if (point.size() != 1 + 2 * curve.size || point[0] != 0x04 ||
        !RawEcdsaSignature(signature, curve.size, raw)) {
      return false;
    }
    std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB));
    const BCRYPT_ECCKEY_BLOB header{curve.magic, static_cast<ULONG>(curve.size)};
    std::memcpy(blob.data(), &header, sizeof(header));
    blob.insert(blob.end(), point.begin() + 1, point.end());
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&provider, curve.algorithm, nullptr, 0))) {
      return false;
    }
    BCRYPT_KEY_HANDLE key = nullptr;
    bool verified = false;
    if (Succeeded(BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                      static_cast<ULONG>(blob.size()), 0))) {
      verified = Succeeded(BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest.data()),
                                                 static_cast<ULONG>(digest.size()), raw.data(),
                                                 static_cast<ULONG>(raw.size()), 0));
      BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(provider, 0);
    return verified;
  }
  return false;
}

bool VerifyRsa(CERT_PUBLIC_KEY_INFO &info, HashAlgorithm algorithm,
               std::span<const std::uint8_t> digest, std::span<const std::uint8_t> signature) {
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &info, 0, nullptr, &key)) {
    return false;
  }
  BCRYPT_PKCS1_PADDING_INFO padding{AlgorithmName(algorithm)};
  const bool verified = Succeeded(
      BCryptVerifySignature(key, &padding, const_cast<PUCHAR>(digest.data()),
                            static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature.data()),
                            static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1));
  BCryptDestroyKey(key);
  return verified;
}

} // namespace

bool VerifySignature(std::span<const std::uint8_t> public_key, HashAlgorithm algorithm,
                     std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) {
  CERT_PUBLIC_KEY_INFO *info = nullptr;
  DWORD info_size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, public_key.data(),
                           static_cast<DWORD>(public_key.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &info, &info_size)) {
    return false;
  }
  const std::vector<std::uint8_t> digest = Hash(algorithm, data);
  const std::string_view type = info->Algorithm.pszObjId;
  bool verified = false;
  if (type == szOID_RSA_RSA) {
    verified = VerifyRsa(*info, algorithm, digest, signature);
  } else if (type == szOID_ECC_PUBLIC_KEY) {
    verified = VerifyEcdsa(*info, digest, signature);
  }
  LocalFree(info);
  return verified;
}

} // namespace packer
