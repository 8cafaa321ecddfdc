// SPDX-License-Identifier: Zlib
#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
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

bool VerifySignature(std::span<const std::uint8_t> public_key, HashAlgorithm algorithm,
                     std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) {
  CERT_PUBLIC_KEY_INFO *info = nullptr;
  DWORD info_size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, public_key.data(),
                           static_cast<DWORD>(public_key.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &info, &info_size)) {
    return false;
  }
  BCRYPT_KEY_HANDLE key = nullptr;
  const bool imported =
      CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &key) != FALSE;
  const bool rsa = std::string_view(info->Algorithm.pszObjId) == szOID_RSA_RSA;
  const bool ec = std::string_view(info->Algorithm.pszObjId) == szOID_ECC_PUBLIC_KEY;
  LocalFree(info);
  if (!imported) {
    return false;
  }
  bool verified = false;
  const std::vector<std::uint8_t> digest = Hash(algorithm, data);
  if (rsa) {
    BCRYPT_PKCS1_PADDING_INFO padding{AlgorithmName(algorithm)};
    verified = Succeeded(BCryptVerifySignature(
        key, &padding, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()),
        BCRYPT_PAD_PKCS1));
  } else if (ec) {
    DWORD bits = 0;
    ULONG written = 0;
    std::vector<std::uint8_t> raw;
    if (Succeeded(BCryptGetProperty(key, BCRYPT_KEY_STRENGTH, reinterpret_cast<PUCHAR>(&bits),
                                    sizeof(bits), &written, 0)) &&
        RawEcdsaSignature(signature, (bits + 7) / 8, raw)) {
      verified = Succeeded(BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest.data()),
                                                 static_cast<ULONG>(digest.size()), raw.data(),
                                                 static_cast<ULONG>(raw.size()), 0));
    }
  }
  BCryptDestroyKey(key);
  return verified;
}

} // namespace packer
