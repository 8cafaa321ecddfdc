// SPDX-License-Identifier: Zlib
#pragma once

#include <windows.h>

#include "support/bounded_string.h"
#include "support/unique_resource.h"

// One output file, created anew and owned until closed or destroyed. The handle carries DELETE
// access so the writer can mark the file for deletion through it: a file whose writing failed
// then vanishes with its last handle, and nothing can swap it for another file in between.
class TargetFile {
public:
  TargetFile() = default;
  TargetFile(const TargetFile &) = delete;
  TargetFile &operator=(const TargetFile &) = delete;

  // Closes whatever was open (leaving that file on disk unless it was marked), then creates the
  // file at path, replacing any file of that name. False with the platform's reason in the
  // last-error value; the record is then closed.
  bool Open(const wchar_t *path);
  void Close();
  bool IsOpen() const { return handle_.IsValid(); }
  HANDLE Handle() const { return handle_.Get(); }
  // The file stays usable through every open handle and disappears when the last one closes.
  bool MarkForDeletion();
  // A second handle to the open file, owned by the caller; INVALID_HANDLE_VALUE when closed or
  // when the platform refuses.
  HANDLE Duplicate() const;

private:
  PathBuffer path_;
  UniqueFile handle_;
};
