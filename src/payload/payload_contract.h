// SPDX-License-Identifier: Zlib
#pragma once

// What the stub and its packer agree on about the payload: the resources it lies in, how one
// enumerated entry is judged, and what the stub ends with when it refuses one. Written once for
// both: the freestanding stub includes it as the packer does on any host, so it holds UTF-16 as
// char16_t (wchar_t is 32-bit on Linux), fixed-width integers and constexpr code only.

#include <stdint.h>

#include "run/run_result.h"
#include "support/ascii_case.h"

// String types, looked up in upper case: the archive and a patch stub's patch, and the
// compressed setup program.
constexpr char16_t kPayloadType[] = u"B7";
constexpr char16_t kCompressedSetupType[] = u"BL";

constexpr char16_t kArchivePrefix[] = u"ondrel";
constexpr char16_t kSetupPrefix[] = u"setup";

// What a cabinet expands into, beside the archive.
constexpr char16_t kSetupProgramName[] = u"setup.exe";

// Payload names, and the paths they are written to, are kept in path buffers of 260 characters,
// the NUL included.
inline constexpr uint32_t kPayloadPathCapacity = 260;
// The work directory the files go into, after the stub's own folder and its backslash: "QV_",
// five hexadecimal digits, ".tmp" and a backslash.
inline constexpr uint32_t kWorkDirectoryNameLength = 13;

// The extra codes of a refused payload, Windows error codes.
inline constexpr uint32_t kPayloadNotFound = 2;      // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kPayloadForeignName = 13;  // ERROR_INVALID_DATA
inline constexpr uint32_t kPayloadNameTwice = 68;    // ERROR_TOO_MANY_NAMES
inline constexpr uint32_t kPayloadNameTooLong = 206; // ERROR_FILENAME_EXCED_RANGE

// The type one enumeration visits.
enum class PayloadType : uint8_t { kPayload, kCompressedSetup };
// What an accepted entry is: the archive, or the patch ("B7") or compressed setup ("BL").
enum class PayloadRole : uint8_t { kArchive, kSetup };

// One enumeration so far: which roles of its type it has accepted.
struct PayloadVisit {
  PayloadType type;
  bool archive_found;
  bool setup_found;
};

// One entry as the platform enumerates it: an integer identifier or a NUL-terminated name (not
// read for an integer), and the size of the resource the name is found under.
struct PayloadEntry {
  bool is_integer;
  const char16_t *name;
  uint64_t size;
};

enum class PayloadRejection : uint8_t {
  kNone,
  kIntegerEntry,
  kEmpty,
  kForeignName,
  kSecondOfItsKind,
  kNameTooLong,
};

// Accepted as `role`, or refused: the stub then ends with `result`; `role` is the kind a second
// entry or a too long name would have been.
struct PayloadVerdict {
  PayloadRejection rejection;
  PayloadRole role;
  RunResult result;
};

inline constexpr const char16_t *PayloadTypeName(PayloadType type) {
  return type == PayloadType::kPayload ? kPayloadType : kCompressedSetupType;
}

inline constexpr const char16_t *PayloadPrefix(PayloadRole role) {
  return role == PayloadRole::kArchive ? kArchivePrefix : kSetupPrefix;
}

// The exit code of every refusal while a type is visited.
inline constexpr uint32_t PayloadFailureCode(PayloadType type) {
  return type == PayloadType::kPayload ? RESULT_ARCHIVE_EXTRACTION_FAILED
                                       : RESULT_SETUP_EXTRACTION_FAILED;
}

// Whether the name leaves room for its NUL in a path buffer; counts no further than that.
inline constexpr bool PayloadNameFits(const char16_t *name) {
  for (uint32_t i = 0; i < kPayloadPathCapacity; ++i) {
    if (name[i] == u'\0') {
      return true;
    }
  }
  return false;
}

// One visit step, in the stub's order: an integer entry or an empty resource stops the
// enumeration like a resource that cannot be found; then the name's kind ("ondrel" before
// "setup"), a second one of that kind, its length.
inline constexpr PayloadVerdict JudgePayloadEntry(const PayloadVisit &visit,
                                                  const PayloadEntry &entry) {
  const uint32_t code = PayloadFailureCode(visit.type);
  if (entry.is_integer) {
    return {PayloadRejection::kIntegerEntry, PayloadRole::kArchive, {code, kPayloadNotFound}};
  }
  if (entry.size == 0) {
    return {PayloadRejection::kEmpty, PayloadRole::kArchive, {code, kPayloadNotFound}};
  }
  PayloadRole role = PayloadRole::kSetup;
  if (visit.type == PayloadType::kPayload && StartsWithAsciiNoCase(entry.name, kArchivePrefix)) {
    role = PayloadRole::kArchive;
  } else if (!StartsWithAsciiNoCase(entry.name, kSetupPrefix)) {
    return {PayloadRejection::kForeignName, role, {code, kPayloadForeignName}};
  }
  if (role == PayloadRole::kArchive ? visit.archive_found : visit.setup_found) {
    return {PayloadRejection::kSecondOfItsKind, role, {code, kPayloadNameTwice}};
  }
  if (!PayloadNameFits(entry.name)) {
    return {PayloadRejection::kNameTooLong, role, {code, kPayloadNameTooLong}};
  }
  return {PayloadRejection::kNone, role, {RESULT_SUCCESS, 0}};
}

// After an enumeration that refused nothing: "B7" must have given the archive, "BL" the
// compressed setup program. A type without any entry ends the same way.
inline constexpr RunResult JudgePayloadVisitEnd(const PayloadVisit &visit) {
  const bool found = visit.type == PayloadType::kPayload ? visit.archive_found : visit.setup_found;
  return found ? RunResult{RESULT_SUCCESS, 0}
               : RunResult{PayloadFailureCode(visit.type), kPayloadNotFound};
}

// A stub is a patch stub exactly when "B7" gave a setup resource; "BL" is then never looked at.
inline constexpr bool IsPatchStub(const PayloadVisit &payload_visit) {
  return payload_visit.setup_found;
}
