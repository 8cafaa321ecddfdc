// SPDX-License-Identifier: Zlib
#pragma once

#include <optional>
#include <string>

namespace packer {

// What signs: --sign-cert, --sign-key and, for an encrypted key, --sign-pass-file.
struct Signer {
  std::string cert;
  std::string key;
  std::optional<std::string> pass_file;
};

// Signs `in` into `out` (which must not exist yet) with osslsigncode: Authenticode, SHA-256, no
// time stamp. The signing time is SOURCE_DATE_EPOCH when set, else the start of the
// certificate's validity, so that signing is reproducible too. `log` is a scratch file.
// osslsigncode runs without a terminal, so it can never wait for a pass phrase.
void SignImage(const std::string &in, const std::string &out, const Signer &signer,
               const std::string &log);

// Refuses what signing would fail on, before anything is written: among it an encrypted key
// without a pass phrase file.
void CheckSigning(const Signer &signer);

} // namespace packer
