// SPDX-License-Identifier: Zlib
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Hashes and signature checks from the platform's own crypto (OpenSSL's libcrypto on Linux, CNG
// on Windows): one implementation per platform, nothing of our own.
namespace packer {

enum class HashAlgorithm { kSha256, kSha384, kSha512 };

class Hasher {
public:
  explicit Hasher(HashAlgorithm algorithm);
  ~Hasher();
  Hasher(const Hasher &) = delete;
  Hasher &operator=(const Hasher &) = delete;

  void Update(std::span<const std::uint8_t> data);
  std::vector<std::uint8_t> Finish();

private:
  struct State;
  std::unique_ptr<State> state_;
};

std::vector<std::uint8_t> Hash(HashAlgorithm algorithm, std::span<const std::uint8_t> data);

// Whether `signature` is a signature of `data`, hashed with `algorithm`, by the key in
// `public_key` (a DER SubjectPublicKeyInfo): RSA with PKCS#1 v1.5 padding, or ECDSA with the
// signature as DER (r, s). False for any other key and for anything malformed.
bool VerifySignature(std::span<const std::uint8_t> public_key, HashAlgorithm algorithm,
                     std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature);

} // namespace packer
