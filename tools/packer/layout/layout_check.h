// SPDX-License-Identifier: Zlib
// layout/: whether the stub would extract a payload, decided by the stub's own rules before
// anything is written, and the code it would end with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pe/resources.h"
#include "platform/input_file.h"

namespace packer {

// Why a stub would not extract: the exit code and extra code it would end with, and the reason.
struct LayoutFault {
  std::uint32_t exit_code = 0;
  std::uint32_t extra_code = 0;
  std::string reason;
  std::string Message() const; // "the stub would end with 112 (RESULT_...), extra code 68: ..."
};

// What the stub does with its "B7" and "BL" resources, decided as it decides: names in
// directory order, the first one it rejects ends the look. `entries` in directory order.
struct PayloadLayout {
  bool patch = false; // "B7" holds a name beginning "setup"
  const ResourceEntry *archive = nullptr;
  const ResourceEntry *setup = nullptr; // the patch, or the compressed setup program
  std::optional<LayoutFault> fault;
};
PayloadLayout JudgeLayout(const std::vector<ResourceEntry> &entries);

// The longest folder path (without its final backslash) from which the stub can write every
// file of its payload: the work directory beside the stub and the longest file name in it
// must fit 259 characters.
std::size_t LongestFolder(const PayloadLayout &layout);

// The name of an exit code the packer reports, from the stub's own table.
std::string ExitCodeName(std::uint32_t code);

// The stub would launch it: a Windows program for x86-64 or x86.
bool IsWindowsProgram(const InputFile &file);

// Whether the stub's cabinet library can expand the "BL" resource: a fault for 115, else none
// and, when `summary` is given, a line on the cabinet's compression and file.
std::optional<LayoutFault> JudgeCabinet(const ResourceEntry &entry, std::string *summary);

// Warnings on a payload the stub takes but that is likely a mistake: an archive without the 7z
// signature, a patch stub without a previous version.
void WarnAboutPayload(const PayloadLayout &layout, const std::vector<ResourceEntry> &entries);

} // namespace packer
