// SPDX-License-Identifier: Zlib
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "base/pack_error.h"
#include "platform/crypto.h"

namespace packer {
namespace {

const EVP_MD *Digest(HashAlgorithm algorithm) {
  switch (algorithm) {
  case HashAlgorithm::kSha384:
    return EVP_sha384();
  case HashAlgorithm::kSha512:
    return EVP_sha512();
  default:
    return EVP_sha256();
  }
}

} // namespace

struct Hasher::State {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

Hasher::Hasher(HashAlgorithm algorithm) : state_(std::make_unique<State>()) {
  if (!state_->context ||
      EVP_DigestInit_ex(state_->context.get(), Digest(algorithm), nullptr) != 1) {
    throw PackError("cannot start a hash (libcrypto)");
  }
}

Hasher::~Hasher() = default;

void Hasher::Update(std::span<const std::uint8_t> data) {
  if (EVP_DigestUpdate(state_->context.get(), data.data(), data.size()) != 1) {
    throw PackError("cannot hash (libcrypto)");
  }
}

std::vector<std::uint8_t> Hasher::Finish() {
  std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned size = 0;
  if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size) != 1) {
    throw PackError("cannot hash (libcrypto)");
  }
  digest.resize(size);
  return digest;
}

std::vector<std::uint8_t> Hash(HashAlgorithm algorithm, std::span<const std::uint8_t> data) {
  Hasher hasher(algorithm);
  hasher.Update(data);
  return hasher.Finish();
}

bool VerifySignature(std::span<const std::uint8_t> public_key, HashAlgorithm algorithm,
                     std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) {
  const unsigned char *cursor = public_key.data();
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)> key(
      d2i_PUBKEY(nullptr, &cursor, static_cast<long>(public_key.size())), &EVP_PKEY_free);
  if (!key) {
    return false;
  }
  const int type = EVP_PKEY_get_base_id(key.get());
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
    return false;
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, Digest(algorithm), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                          data.size()) == 1;
}

} // namespace packer
