// SPDX-License-Identifier: Zlib
#include "layout/layout_check.h"

#include <algorithm>
#include <cstring>

#include "base/little_endian.h"
#include "base/messages.h"
#include "base/pack_error.h"
#include "cabinet/cabinet.h"
#include "payload/payload_contract.h"
#include "platform/file_stream.h"

namespace packer {
namespace {

// FindResourceW upper-cases the enumerated name before it looks it up: a name stored in another
// case is found only through a twin stored in upper case, whose size then counts.
const ResourceEntry *FoundByStub(const std::vector<const ResourceEntry *> &names,
                                 const ResourceEntry &entry) {
  const std::u16string wanted = UpcaseName(entry.name.text);
  const auto found = std::find_if(names.begin(), names.end(), [&](const ResourceEntry *e) {
    return !e->name.is_integer && e->name.text == wanted;
  });
  return found == names.end() ? nullptr : *found;
}

// Why the stub refuses an entry, in words.
std::string Reason(const PayloadVerdict &verdict, const PayloadVisit &visit,
                   const ResourceEntry &entry, const ResourceEntry *const slots[2]) {
  const std::string type = Utf16ToUtf8(PayloadTypeName(visit.type));
  const auto quoted = [](const char16_t *text) { return '"' + Utf16ToUtf8(text) + '"'; };
  switch (verdict.rejection) {
  case PayloadRejection::kIntegerEntry:
    return "an integer entry " + entry.name.Display() + " under \"" + type + "\"";
  case PayloadRejection::kEmpty:
    return "\"" + type + "\" " + entry.name.Display() + " is empty";
  case PayloadRejection::kForeignName: {
    std::string expected = quoted(kSetupPrefix);
    if (visit.type == PayloadType::kPayload) {
      expected = quoted(kArchivePrefix).append(" or ").append(expected);
    }
    return "the \"" + type + "\" name " + entry.name.Display() + " begins with neither " + expected;
  }
  case PayloadRejection::kSecondOfItsKind:
    return "two \"" + type + "\" names begin \"" + Utf16ToUtf8(PayloadPrefix(verdict.role)) +
           "\": " + slots[static_cast<int>(verdict.role)]->name.Display() + " and " +
           entry.name.Display();
  case PayloadRejection::kNameTooLong:
  case PayloadRejection::kNone:
    break;
  }
  return "the \"" + type + "\" name " + entry.name.Display().substr(0, 24) + "... has " +
         std::to_string(entry.name.text.size()) + " characters (at most " +
         std::to_string(kPayloadPathCapacity - 1) + ")";
}

// One visit of a type's names, step by step as the stub's visitors make it; slots receive the
// accepted entries by role. Returns the fault that ends the visit, if any.
std::optional<LayoutFault> Visit(const std::vector<const ResourceEntry *> &names, PayloadType type,
                                 const ResourceEntry *slots[2]) {
  for (const ResourceEntry *entry : names) {
    const PayloadVisit visit{type, slots[0] != nullptr, slots[1] != nullptr};
    const ResourceEntry *found = entry->name.is_integer ? entry : FoundByStub(names, *entry);
    if (found == nullptr) {
      return LayoutFault{PayloadFailureCode(type), kPayloadNotFound,
                         '"' + Utf16ToUtf8(PayloadTypeName(type)) + "\" " + entry->name.Display() +
                             " is not stored in upper case, so the stub cannot find it"};
    }
    const PayloadVerdict verdict =
        JudgePayloadEntry(visit, {entry->name.is_integer, entry->name.text.c_str(), found->size});
    if (verdict.rejection != PayloadRejection::kNone) {
      return LayoutFault{verdict.result.exit_code, verdict.result.extra_code,
                         Reason(verdict, visit, *entry, slots)};
    }
    slots[static_cast<int>(verdict.role)] = entry;
  }
  return std::nullopt;
}

std::vector<const ResourceEntry *> NamesOf(const std::vector<ResourceEntry> &entries,
                                           std::u16string_view type) {
  std::vector<const ResourceEntry *> names;
  for (const ResourceEntry &e : entries) {
    // The stub asks for the type in upper case; a type stored otherwise is never found.
    if (!e.type.is_integer && e.type.text == type) {
      names.push_back(&e);
    }
  }
  return names;
}

} // namespace

std::string LayoutFault::Message() const {
  return "the stub would end with " + std::to_string(exit_code) + " (" + ExitCodeName(exit_code) +
         "), extra code " + std::to_string(extra_code) + ": " + reason;
}

PayloadLayout JudgeLayout(const std::vector<ResourceEntry> &entries) {
  PayloadLayout layout;
  const ResourceEntry *b7[2] = {};
  const std::vector<const ResourceEntry *> b7_names = NamesOf(entries, kPayloadType);
  if (b7_names.empty()) {
    layout.fault = LayoutFault{RESULT_ARCHIVE_EXTRACTION_FAILED, kPayloadNotFound,
                               "no archive (\"B7\" is empty)"};
    return layout;
  }
  layout.fault = Visit(b7_names, PayloadType::kPayload, b7);
  layout.archive = b7[0];
  layout.setup = b7[1];
  const PayloadVisit payload_visit{PayloadType::kPayload, b7[0] != nullptr, b7[1] != nullptr};
  layout.patch = IsPatchStub(payload_visit);
  if (layout.fault) {
    return layout;
  }
  if (const RunResult end = JudgePayloadVisitEnd(payload_visit); end.exit_code != 0) {
    layout.fault =
        LayoutFault{end.exit_code, end.extra_code, "no archive (no \"B7\" name begins \"ondrel\")"};
    return layout;
  }
  if (layout.patch) {
    return layout; // a patch stub never looks at "BL"
  }
  const std::vector<const ResourceEntry *> bl_names = NamesOf(entries, kCompressedSetupType);
  if (bl_names.empty()) {
    layout.fault = LayoutFault{RESULT_SETUP_EXTRACTION_FAILED, kPayloadNotFound,
                               "no compressed setup program (no \"BL\" resource, and no patch)"};
    return layout;
  }
  const ResourceEntry *bl[2] = {};
  layout.fault = Visit(bl_names, PayloadType::kCompressedSetup, bl);
  layout.setup = bl[1];
  return layout;
}

std::size_t LongestFolder(const PayloadLayout &layout) {
  std::size_t longest = std::char_traits<char16_t>::length(kSetupProgramName);
  for (const ResourceEntry *e : {layout.archive, layout.setup}) {
    if (e != nullptr) {
      longest = std::max(longest, e->name.text.size());
    }
  }
  // +1: the folder's own backslash; the path keeps room for its NUL.
  const std::size_t used = kWorkDirectoryNameLength + 1 + longest;
  return used >= kPayloadPathCapacity - 1 ? 0 : kPayloadPathCapacity - 1 - used;
}

std::string ExitCodeName(std::uint32_t code) {
  switch (code) {
  case RESULT_ARCHIVE_EXTRACTION_FAILED:
    return "RESULT_ARCHIVE_EXTRACTION_FAILED";
  case RESULT_SETUP_EXPANSION_FAILED:
    return "RESULT_SETUP_EXPANSION_FAILED";
  case RESULT_SETUP_EXTRACTION_FAILED:
    return "RESULT_SETUP_EXTRACTION_FAILED";
  case RESULT_SETUP_LAUNCH_FAILED:
    return "RESULT_SETUP_LAUNCH_FAILED";
  default:
    return "exit code " + std::to_string(code);
  }
}

// The stub would launch it: a Windows program for x86-64 or x86.
bool IsWindowsProgram(const InputFile &file) {
  std::uint8_t dos[64], pe[24];
  if (file.size() < sizeof(dos)) {
    return false;
  }
  file.ReadAt(0, dos, sizeof(dos));
  const std::uint32_t at = Get32(dos + 60);
  if (dos[0] != 'M' || dos[1] != 'Z' || at > file.size() || file.size() - at < sizeof(pe)) {
    return false;
  }
  file.ReadAt(at, pe, sizeof(pe));
  const std::uint16_t machine = Get16(pe + 4);
  const std::uint16_t characteristics = Get16(pe + 22);
  constexpr std::uint16_t kExecutable = 0x0002, kDll = 0x2000;
  return std::memcmp(pe, "PE\0\0", 4) == 0 && (machine == 0x8664 || machine == 0x014C) &&
         (characteristics & kExecutable) && !(characteristics & kDll);
}

namespace {

std::string CompressionName(const CabinetSummary &s) {
  switch (s.compression) {
  case CabinetCompression::kNone:
    return "stored";
  case CabinetCompression::kMszip:
    return "MSZIP";
  case CabinetCompression::kQuantum:
    return "Quantum, window 2^" + std::to_string(s.window_bits);
  case CabinetCompression::kLzx:
    return "LZX, window 2^" + std::to_string(s.window_bits);
  }
  return "?";
}

} // namespace

// Whether the stub's cabinet library can expand the "BL" resource: a fault for 115, else its
// summary, with a warning for a file not named setup.exe.
std::optional<LayoutFault> JudgeCabinet(const ResourceEntry &entry, std::string *summary) {
  const InputFile file(entry.path, entry.origin);
  file.Seek(entry.offset);
  std::string file_name;
  try {
    FileSource source(file.stream());
    const CabinetSummary s = InspectCabinet(source, entry.size, entry.Describe());
    if (summary != nullptr) {
      *summary = CompressionName(s) + ", one file \"" + Printable(s.file_name) + "\" of " +
                 std::to_string(s.file_size) + " bytes";
    }
    file_name = s.file_name;
  } catch (const PackError &e) {
    return LayoutFault{RESULT_SETUP_EXPANSION_FAILED, 0, e.what()};
  }
  // Outside the try: under --strict the warning is an error of its own, not a broken cabinet.
  if (file_name != "setup.exe") {
    Warn("the cabinet's file is named \"" + Printable(file_name) +
         "\"; the stub writes it as setup.exe all the same");
  }
  return std::nullopt;
}

void WarnAboutPayload(const PayloadLayout &layout, const std::vector<ResourceEntry> &entries) {
  if (layout.archive != nullptr && layout.archive->size >= 6) {
    const InputFile file(layout.archive->path, layout.archive->origin);
    std::uint8_t signature[6];
    file.ReadAt(layout.archive->offset, signature, sizeof(signature));
    if (std::memcmp(signature, "7z\xBC\xAF\x27\x1C", 6) != 0) {
      Warn("the archive " + layout.archive->name.Display() +
           " is not a 7z archive (no 7z signature)");
    }
  }
  const bool has_version = std::any_of(entries.begin(), entries.end(), [](const ResourceEntry &e) {
    return e.type == ResourceId::Integer(kRtRcdata) && e.name == ResourceId::Integer(1);
  });
  if (layout.patch && !has_version) {
    Warn("a patch stub without a previous version (--previous-version) applies to any installed "
         "version");
  }
}

} // namespace packer
