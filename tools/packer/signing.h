// SPDX-License-Identifier: Zlib
#pragma once

#include <string>

namespace packer {

// Signs `in` into `out` (which must not exist yet) with osslsigncode: Authenticode, SHA-256, no
// time stamp. The signing time is SOURCE_DATE_EPOCH when set, else the start of the
// certificate's validity, so that signing is reproducible too. `log` is a scratch file.
void SignImage(const std::string &in, const std::string &out, const std::string &cert,
               const std::string &key, const std::string &log);

// Refuses what signing would fail on, before anything is written.
void CheckSigning(const std::string &cert, const std::string &key);

} // namespace packer
