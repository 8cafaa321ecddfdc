// SPDX-License-Identifier: Zlib
// pe/: the Authenticode signatures of an image: its certificate table, the PKCS#7 signatures in
// it (nested ones too), and the image's digest recomputed from the file to compare with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_image.h"
#include "platform/input_file.h"

namespace packer {

// One signature. `fault` is empty when its digest matches the file and it verifies.
struct SignatureReport {
  unsigned depth = 0;           // 0 for the outer signature, 1 for one nested in it
  std::string digest_algorithm; // "SHA-256", "SHA-384", "SHA-512", or the unknown OID
  std::string subject;          // of the signer's certificate
  std::string issuer;
  std::string timestamp_time;      // "YYYY-MM-DDTHH:MM:SSZ"; empty without a time stamp
  std::string timestamp_authority; // subject of the time-stamp signer's certificate
  std::string timestamp_kind;      // "rfc3161", "authenticode" (a countersignature), or empty
  std::string signed_digest;       // hex, as the signature holds it
  bool digest_matches = false;     // signed_digest equals the digest recomputed from the file
  bool signature_verifies = false; // against the signer certificate's public key
  bool timestamp_foreign = false;  // a time stamp over another signature than this one
  std::string fault;
};

struct AuthenticodeReport {
  std::string content_digest; // the Authenticode SHA-256 of the image, hex; signed or not
  bool has_table = false;     // the security directory names a certificate table
  std::vector<SignatureReport> signatures;
  // A fault of the table itself (unreadable, not at the end of the file, data after it); each
  // signature's own fault is in the signature.
  std::string fault;

  // Signed, and every signature sound: the table read whole, each digest matching the file and
  // each signature verifying.
  bool Sound() const;
  // The first fault, of the table or of a signature, as one line; empty when there is none.
  std::string FirstFault() const;
};

// Reads the certificate table of `image` in `file` and checks every signature in it against the
// file. Hashes the file in bounded buffers. Throws PackError only when the file cannot be read;
// everything wrong with what it holds is reported.
AuthenticodeReport InspectAuthenticode(const InputFile &file, const PeImage &image);

} // namespace packer
