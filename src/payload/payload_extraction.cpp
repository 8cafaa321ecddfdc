// SPDX-License-Identifier: Zlib
#include "payload/payload_extraction.h"

#include "cleanup/removal.h"
#include "payload/cabinet_expansion.h"
#include "payload/target_file.h"
#include "run/stage_profile.h"
#include "setup/setup_patching.h"
#include "support/platform_seam.h"
#include "support/unique_resource.h"

namespace {

constexpr wchar_t kPayloadType[] = L"B7";
constexpr wchar_t kCompressedSetupType[] = L"BL";
constexpr wchar_t kArchivePrefix[] = L"ondrel";
constexpr wchar_t kSetupPrefix[] = L"setup";
constexpr wchar_t kSetupProgramName[] = L"setup.exe";

// Takes one resource of a kind that may appear once: a second one is refused with
// ERROR_TOO_MANY_NAMES, a name that does not fit its buffer with ERROR_FILENAME_EXCED_RANGE.
bool AcceptOnce(const wchar_t *name, const ResourceSpan &span, PathBuffer &kept_name,
                ResourceSpan &kept_span, uint32_t &error) {
  if (kept_span.size != 0) {
    error = ERROR_TOO_MANY_NAMES;
    return false;
  }
  if (!kept_name.Assign(name)) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  kept_span = span;
  return true;
}

BOOL CALLBACK VisitOneResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR user) {
  auto *visitor = reinterpret_cast<ResourceVisitor *>(user);
  // Integer entries and empty resources are not skipped: they stop the enumeration, so a
  // malformed payload fails instead of installing something incomplete.
  if (IS_INTRESOURCE(name) || visitor == nullptr) {
    return FALSE;
  }
  const HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) {
    return FALSE;
  }
  const DWORD size = SizeofResource(module, found);
  if (size == 0) {
    return FALSE;
  }
  const HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) {
    return FALSE;
  }
  const void *data = LockResource(loaded);
  if (data == nullptr) {
    return FALSE;
  }
  return visitor->Visit(name, ResourceSpan{static_cast<const uint8_t *>(data), size}) ? TRUE
                                                                                      : FALSE;
}

// work_directory + name into path; false when it does not fit.
bool BuildPath(PathBuffer &path, const PathBuffer &work_directory, const wchar_t *name) {
  return path.Assign(work_directory.text) && path.Append(name);
}

} // namespace

bool PayloadVisitor::Visit(const wchar_t *name, const ResourceSpan &span) {
  if (StartsWithNoCase(name, kArchivePrefix)) {
    return AcceptOnce(name, span, archive_name_, archive_span_, error_);
  }
  if (StartsWithNoCase(name, kSetupPrefix)) {
    return AcceptOnce(name, span, setup_name_, setup_span_, error_);
  }
  error_ = ERROR_INVALID_DATA;
  return false;
}

bool SetupVisitor::Visit(const wchar_t *name, const ResourceSpan &span) {
  if (StartsWithNoCase(name, kSetupPrefix)) {
    return AcceptOnce(name, span, setup_name_, setup_span_, error_);
  }
  error_ = ERROR_INVALID_DATA;
  return false;
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

RunResult ExtractPayload(const RunConfiguration &configuration, HMODULE module,
                         const PathBuffer &work_directory, PathBuffer &archive_path,
                         PathBuffer &setup_path, int32_t &max_removal_attempts) {
  PathBuffer setup_program_path;
  if (!BuildPath(setup_program_path, work_directory, kSetupProgramName)) {
    return {RESULT_PATH_TOO_LONG, 0};
  }

  PathBuffer archive_name;
  PathBuffer setup_name;
  ResourceSpan archive_span;
  ResourceSpan setup_span;
  uint32_t visit_error = ERROR_FILE_NOT_FOUND;

  PayloadVisitor payload_visitor(archive_name, archive_span, setup_name, setup_span, visit_error);
  if (!VisitResources(module, kPayloadType, &payload_visitor) || archive_span.size == 0) {
    return {RESULT_ARCHIVE_EXTRACTION_FAILED, visit_error};
  }
  if (!BuildPath(archive_path, work_directory, archive_name.text)) {
    return {RESULT_PATH_TOO_LONG, 0};
  }
  if (!WriteResourceToFile(archive_span, archive_path.text)) {
    return {RESULT_ARCHIVE_EXTRACTION_FAILED, GetLastError()};
  }
  MarkStage(Stage::kArchiveWritten);

  // A setup resource beside the archive makes this a patch stub; "BL" is then never looked at.
  const bool patch_stub = setup_span.size != 0;
  if (!patch_stub) {
    visit_error = ERROR_FILE_NOT_FOUND;
    SetupVisitor setup_visitor(setup_name, setup_span, visit_error);
    if (!VisitResources(module, kCompressedSetupType, &setup_visitor) || setup_span.size == 0) {
      return {RESULT_SETUP_EXTRACTION_FAILED, visit_error};
    }
  }
  if (!BuildPath(setup_path, work_directory, setup_name.text)) {
    return {RESULT_PATH_TOO_LONG, 0};
  }
  if (!WriteResourceToFile(setup_span, setup_path.text)) {
    return {RESULT_SETUP_EXTRACTION_FAILED, GetLastError()};
  }

  RunResult result = {RESULT_SUCCESS, 0};
  if (patch_stub) {
    result = ApplySetupPatch(configuration, setup_path.text, setup_program_path.text);
  } else if (!ExpandCabinet(setup_path.text, setup_program_path)) {
    result = {RESULT_SETUP_EXPANSION_FAILED, 0};
  }

  // The compressed file or the patch is never needed again, whatever came of it.
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
