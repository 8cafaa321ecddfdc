// SPDX-License-Identifier: Zlib
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/signing_platform.h"

namespace packer {

// What signs. Either osslsigncode, the built-in signer: --sign-cert and --sign-key, each a file
// or a PKCS #11 URI (a key in a token, reached through --sign-pkcs11-module); --sign-pass-file for
// an encrypted key or the token's PIN; --sign-timestamp, the time-stamp authorities to try. Or a
// signing command of the user's own (--sign-command), which does its own time stamping.
struct Signer {
  std::optional<std::string> cert, key, pass_file, pkcs11_module, command;
  std::vector<std::string> timestamps;
};

// A key or certificate in a token rather than in a file.
bool IsPkcs11Uri(const std::string &text);

// The one time limit of the whole signing step: PACK_STUB_SIGN_TIMEOUT seconds when set, else
// ten minutes. Refuses a value that is not a number of seconds.
SigningDeadline SigningDeadlineFromNow();

// Signs `in` into `out` (which must not exist yet) with osslsigncode: Authenticode, SHA-256. The
// signing time is SOURCE_DATE_EPOCH when set, else the start of the certificate's validity, so
// that signing is reproducible too; with a time stamp it is the authority's. The authorities are
// tried in order until one answers. `log` is a scratch file. osslsigncode runs without a
// terminal, so it can never wait for a pass phrase or a PIN.
// What is wrong with a signed copy's time stamp, or nothing: an authority whose answer was made
// for another request is passed over like one that did not answer.
using TimestampFault = std::function<std::string(const std::string &signed_copy)>;

void SignImage(const std::string &in, const std::string &out, const Signer &signer,
               const std::string &log, SigningDeadline deadline,
               const TimestampFault &timestamp_fault);

// Runs the signing command on `in`: in place ({file}: `out` is a copy of `in` that it signs) or
// into `out` ({in} and {out}).
void RunSigningCommand(const std::string &in, const std::string &out, const Signer &signer,
                       const std::string &log, SigningDeadline deadline);

// Refuses what signing would fail on, before anything is written: among it an encrypted key
// without a pass phrase file, and a certificate in a token with no signing time to use.
void CheckSigning(const Signer &signer);

} // namespace packer
