// SPDX-License-Identifier: Zlib
#include "layout_check.h"

#include <algorithm>

#include "run/run_result.h"

namespace packer {
namespace {

constexpr std::uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kInvalidData = 13;  // ERROR_INVALID_DATA
constexpr std::uint32_t kTooManyNames = 68; // ERROR_TOO_MANY_NAMES
constexpr std::uint32_t kNameTooLong = 206; // ERROR_FILENAME_EXCED_RANGE
constexpr std::size_t kPathCapacity = 260;  // a path buffer's characters, its NUL included
// "QV_", five hexadecimal digits, ".tmp" and a backslash, after the stub's folder and its
// backslash.
constexpr std::size_t kWorkDirectoryName = 13;
constexpr std::u16string_view kSetupProgram = u"setup.exe";

// One visit of a type's names, as the stub's visitors make it. `kinds` are the prefixes it
// accepts, each at most once; returns the fault that ends the visit, if any.
std::optional<LayoutFault> Visit(const std::vector<const ResourceEntry *> &names,
                                 std::uint32_t code, const std::string &type,
                                 std::initializer_list<std::u16string_view> kinds,
                                 const ResourceEntry **slots) {
  for (const ResourceEntry *entry : names) {
    if (entry->name.is_integer) {
      return LayoutFault{code, kFileNotFound,
                         "an integer entry " + entry->name.Display() + " under \"" + type + "\""};
    }
    // FindResourceW upper-cases the enumerated name before it looks it up: a name stored in
    // another case is found only through a twin stored in upper case, whose size then counts.
    const std::u16string wanted = UpcaseName(entry->name.text);
    const auto found = std::find_if(names.begin(), names.end(), [&](const ResourceEntry *e) {
      return !e->name.is_integer && e->name.text == wanted;
    });
    if (found == names.end()) {
      return LayoutFault{code, kFileNotFound,
                         "\"" + type + "\" " + entry->name.Display() +
                             " is not stored in upper case, so the stub cannot find it"};
    }
    if ((*found)->size == 0) {
      return LayoutFault{code, kFileNotFound,
                         "\"" + type + "\" " + entry->name.Display() + " is empty"};
    }
    std::size_t k = 0;
    for (std::u16string_view kind : kinds) {
      if (StartsWithNoCase(entry->name.text, kind)) {
        break;
      }
      ++k;
    }
    if (k == kinds.size()) {
      std::string expected;
      for (std::u16string_view kind : kinds) {
        expected += (expected.empty() ? "\"" : " or \"") + Utf16ToUtf8(kind) + "\"";
      }
      return LayoutFault{code, kInvalidData,
                         "the \"" + type + "\" name " + entry->name.Display() +
                             " begins with neither " + expected};
    }
    if (slots[k] != nullptr) {
      return LayoutFault{code, kTooManyNames,
                         "two \"" + type + "\" names begin \"" + Utf16ToUtf8(*(kinds.begin() + k)) +
                             "\": " + slots[k]->name.Display() + " and " + entry->name.Display()};
    }
    if (entry->name.text.size() >= kPathCapacity) {
      return LayoutFault{code, kNameTooLong,
                         "the \"" + type + "\" name " + entry->name.Display().substr(0, 24) +
                             "... has " + std::to_string(entry->name.text.size()) +
                             " characters (at most 259)"};
    }
    slots[k] = entry;
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
  const std::vector<const ResourceEntry *> b7_names = NamesOf(entries, u"B7");
  if (b7_names.empty()) {
    layout.fault = LayoutFault{RESULT_ARCHIVE_EXTRACTION_FAILED, kFileNotFound,
                               "no archive (\"B7\" is empty)"};
    return layout;
  }
  layout.fault = Visit(b7_names, RESULT_ARCHIVE_EXTRACTION_FAILED, "B7", {u"ondrel", u"setup"}, b7);
  layout.archive = b7[0];
  layout.setup = b7[1];
  layout.patch = b7[1] != nullptr;
  if (layout.fault) {
    return layout;
  }
  if (layout.archive == nullptr) {
    layout.fault = LayoutFault{RESULT_ARCHIVE_EXTRACTION_FAILED, kFileNotFound,
                               "no archive (no \"B7\" name begins \"ondrel\")"};
    return layout;
  }
  if (layout.patch) {
    return layout; // a patch stub never looks at "BL"
  }
  const std::vector<const ResourceEntry *> bl_names = NamesOf(entries, u"BL");
  if (bl_names.empty()) {
    layout.fault = LayoutFault{RESULT_SETUP_EXTRACTION_FAILED, kFileNotFound,
                               "no compressed setup program (no \"BL\" resource, and no patch)"};
    return layout;
  }
  const ResourceEntry *bl[1] = {};
  layout.fault = Visit(bl_names, RESULT_SETUP_EXTRACTION_FAILED, "BL", {u"setup"}, bl);
  layout.setup = bl[0];
  return layout;
}

std::size_t LongestFolder(const PayloadLayout &layout) {
  std::size_t longest = kSetupProgram.size();
  for (const ResourceEntry *e : {layout.archive, layout.setup}) {
    if (e != nullptr) {
      longest = std::max(longest, e->name.text.size());
    }
  }
  const std::size_t used = kWorkDirectoryName + 1 + longest; // +1: the folder's own backslash
  return used >= kPathCapacity - 1 ? 0 : kPathCapacity - 1 - used;
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
