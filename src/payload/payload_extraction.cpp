// SPDX-License-Identifier: Zlib
#include "payload/payload_extraction.h"

#include "cleanup/removal.h"
#include "payload/cabinet_expansion.h"
#include "payload/payload_contract.h"
#include "payload/target_file.h"
#include "run/stage_profile.h"
#include "setup/setup_patching.h"
#include "support/platform_seam.h"
#include "support/unique_resource.h"

namespace {

// The platform's wide characters are UTF-16 units, as the contract's are.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
const wchar_t *Wide(const char16_t *text) { return reinterpret_cast<const wchar_t *>(text); }

static_assert(kPayloadNotFound == ERROR_FILE_NOT_FOUND &&
              kPayloadForeignName == ERROR_INVALID_DATA &&
              kPayloadNameTwice == ERROR_TOO_MANY_NAMES &&
              kPayloadNameTooLong == ERROR_FILENAME_EXCED_RANGE);
static_assert(kPayloadPathCapacity == kPathCapacity);

// Judges one entry against what the visit has kept so far (a visitor without an archive slot
// never accepts one) and keeps it if accepted.
bool JudgeAndKeep(PayloadType type, const wchar_t *name, const ResourceSpan &span,
                  const PayloadSlots &slots) {
  const PayloadVisit visit{type, slots.spans[0] != nullptr && slots.spans[0]->size != 0,
                           slots.spans[1]->size != 0};
  const PayloadEntry entry{IS_INTRESOURCE(name) != FALSE, reinterpret_cast<const char16_t *>(name),
                           span.size};
  const PayloadVerdict verdict = JudgePayloadEntry(visit, entry);
  if (verdict.rejection != PayloadRejection::kNone) {
    *slots.error = verdict.result.extra_code;
    return false;
  }
  const int role = verdict.role == PayloadRole::kArchive ? 0 : 1;
  // The verdict has measured the name: it fits.
  slots.names[role]->Assign(name);
  *slots.spans[role] = span;
  return true;
}

BOOL CALLBACK VisitOneResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user) {
  auto *visitor = reinterpret_cast<ResourceVisitor *>(user);
  if (visitor == nullptr) {
    return FALSE;
  }
  // An integer entry is never looked up, and an empty resource never loaded: the visitor refuses
  // both, so a malformed payload fails instead of installing something incomplete.
  ResourceSpan span;
  if (!IS_INTRESOURCE(name)) {
    const HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
      return FALSE;
    }
    span.size = SizeofResource(module, found);
    if (span.size != 0) {
      const HGLOBAL loaded = LoadResource(module, found);
      if (loaded == nullptr) {
        return FALSE;
      }
      span.data = static_cast<const uint8_t *>(LockResource(loaded));
      if (span.data == nullptr) {
        return FALSE;
      }
    }
  }
  return visitor->Visit(name, span) ? TRUE : FALSE;
}

// work_directory + name into path; false when it does not fit.
bool BuildPath(PathBuffer &path, const PathBuffer &work_directory, const wchar_t *name) {
  return path.Assign(work_directory.text) && path.Append(name);
}

} // namespace

bool PayloadVisitor::Visit(const wchar_t *name, const ResourceSpan &span) {
  return JudgeAndKeep(PayloadType::kPayload, name, span, slots_);
}

bool SetupVisitor::Visit(const wchar_t *name, const ResourceSpan &span) {
  return JudgeAndKeep(PayloadType::kCompressedSetup, name, span, slots_);
}

bool VisitResources(HMODULE module, const wchar_t *type, ResourceVisitor *visitor) {
  return EnumResourceNamesW(module, type, VisitOneResource, reinterpret_cast<LONG_PTR>(visitor)) !=
         FALSE;
}

bool WriteResourceToFile(const ResourceSpan &span, const wchar_t *path) {
  TargetFile file;
  if (!file.Open(path)) {
    return false;
  }
  for (uint64_t offset = 0; offset < span.size;) {
    const uint64_t left = span.size - offset;
    const DWORD chunk = static_cast<DWORD>(left < kResourceWriteChunk ? left : kResourceWriteChunk);
    DWORD written = 0;
    const BOOL wrote =
        platform::WriteFile(file.Handle(), span.data + offset, chunk, &written, nullptr);
    // A write that reports success but took fewer bytes would leave a silently truncated file;
    // it fails like any other write.
    if (!wrote || written != chunk) {
      if (wrote) {
        SetLastError(ERROR_WRITE_FAULT);
      }
      // The write's reason reaches the caller, whatever marking and closing the file leave.
      const LastErrorGuard keep;
      file.MarkForDeletion();
      return false;
    }
    offset += chunk;
  }
  return true;
}

namespace {

// Turns the written patch or compressed setup file into the setup program, then removes it at
// once, whatever came of it.
RunResult MakeSetupProgram(const RunConfiguration &configuration, bool patch_stub,
                           PathBuffer &setup_path, PathBuffer &setup_program_path,
                           int32_t &max_removal_attempts) {
  RunResult result = {RESULT_SUCCESS, 0};
  if (patch_stub) {
    result = ApplySetupPatch(configuration, setup_path.text, setup_program_path.text);
  } else if (!ExpandCabinet(setup_path.text, setup_program_path)) {
    result = {RESULT_SETUP_EXPANSION_FAILED, 0};
  }
  int32_t attempts = 0;
  RemoveWithRetries(setup_path.text, attempts);
  NoteRemovalAttempts(attempts, max_removal_attempts);

  // A failed patch run may still have left part of a new setup program behind; naming it lets
  // the end of the run remove it (a missing file counts as removed). After a failed expansion
  // setup_path still names the compressed file, so the end of the run tries that again.
  if (result.exit_code == RESULT_SUCCESS || patch_stub) {
    setup_path.Assign(setup_program_path.text);
  }
  return result;
}

} // namespace

RunResult ExtractPayload(const RunConfiguration &configuration, HMODULE module,
                         const PathBuffer &work_directory, PathBuffer &archive_path,
                         PathBuffer &setup_path, int32_t &max_removal_attempts) {
  PathBuffer setup_program_path;
  if (!BuildPath(setup_program_path, work_directory, Wide(kSetupProgramName))) {
    return {RESULT_PATH_TOO_LONG, 0};
  }

  PathBuffer archive_name;
  PathBuffer setup_name;
  ResourceSpan archive_span;
  ResourceSpan setup_span;
  uint32_t visit_error = kPayloadNotFound;

  PayloadVisitor payload_visitor(archive_name, archive_span, setup_name, setup_span, visit_error);
  if (!VisitResources(module, Wide(kPayloadType), &payload_visitor) ||
      JudgePayloadVisitEnd({PayloadType::kPayload, archive_span.size != 0, false}).exit_code !=
          RESULT_SUCCESS) {
    return {RESULT_ARCHIVE_EXTRACTION_FAILED, visit_error};
  }
  if (!BuildPath(archive_path, work_directory, archive_name.text)) {
    return {RESULT_PATH_TOO_LONG, 0};
  }
  if (!WriteResourceToFile(archive_span, archive_path.text)) {
    return {RESULT_ARCHIVE_EXTRACTION_FAILED, GetLastError()};
  }
  MarkStage(Stage::kArchiveWritten);

  const bool patch_stub = IsPatchStub({PayloadType::kPayload, true, setup_span.size != 0});
  if (!patch_stub) {
    visit_error = kPayloadNotFound;
    SetupVisitor setup_visitor(setup_name, setup_span, visit_error);
    if (!VisitResources(module, Wide(kCompressedSetupType), &setup_visitor) ||
        JudgePayloadVisitEnd({PayloadType::kCompressedSetup, false, setup_span.size != 0})
                .exit_code != RESULT_SUCCESS) {
      return {RESULT_SETUP_EXTRACTION_FAILED, visit_error};
    }
  }
  if (!BuildPath(setup_path, work_directory, setup_name.text)) {
    return {RESULT_PATH_TOO_LONG, 0};
  }
  if (!WriteResourceToFile(setup_span, setup_path.text)) {
    return {RESULT_SETUP_EXTRACTION_FAILED, GetLastError()};
  }
  return MakeSetupProgram(configuration, patch_stub, setup_path, setup_program_path,
                          max_removal_attempts);
}
