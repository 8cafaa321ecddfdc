// SPDX-License-Identifier: Zlib
#include "layout_check.h"

#include <algorithm>

#include "payload/payload_contract.h"

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

} // namespace packer
