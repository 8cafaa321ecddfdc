// SPDX-License-Identifier: Zlib
#pragma once

#include <stdint.h>
#include <windows.h>

#include "config/run_configuration.h"
#include "run/run_result.h"
#include "support/bounded_string.h"

// The located data of one resource, inside the mapped executable and valid for the life of the
// process. A size of 0 means nothing has been found yet.
struct ResourceSpan {
  const uint8_t *data = nullptr;
  uint64_t size = 0;
};

// A visitor that refuses a name writes the reason into its caller's variable, not into the
// last-error value: once a callback has stopped it, EnumResourceNamesW sets that value itself
// (Windows reports ERROR_RESOURCE_ENUM_USER_STOP).
class ResourceVisitor {
public:
  // True lets the enumeration go on; false stops it.
  virtual bool Visit(const wchar_t *name, const ResourceSpan &span) = 0;

protected:
  ~ResourceVisitor() = default;
};

// Where a visitor keeps what it accepts, by the role the payload's contract gives an entry (the
// archive, then the setup resource), and where a refusal writes its code.
struct PayloadSlots {
  PathBuffer *names[2];
  ResourceSpan *spans[2];
  uint32_t *error;
};

// "B7": the product archive (a name beginning "ondrel") and, in a patch stub, the setup patch
// (a name beginning "setup"). Anything else is refused.
class PayloadVisitor final : public ResourceVisitor {
public:
  PayloadVisitor(PathBuffer &archive_name, ResourceSpan &archive_span, PathBuffer &setup_name,
                 ResourceSpan &setup_span, uint32_t &error)
      : slots_{{&archive_name, &setup_name}, {&archive_span, &setup_span}, &error} {}
  bool Visit(const wchar_t *name, const ResourceSpan &span) override;

private:
  PayloadSlots slots_;
};

// "BL": the compressed setup program, a name beginning "setup". Anything else is refused.
class SetupVisitor final : public ResourceVisitor {
public:
  SetupVisitor(PathBuffer &setup_name, ResourceSpan &setup_span, uint32_t &error)
      : slots_{{nullptr, &setup_name}, {nullptr, &setup_span}, &error} {}
  bool Visit(const wchar_t *name, const ResourceSpan &span) override;

private:
  PayloadSlots slots_; // no archive under "BL"
};

// Hands every named resource of type to visitor. True when all were visited and accepted; an
// integer identifier, or an entry that is empty or cannot be loaded, stops the enumeration.
bool VisitResources(HMODULE module, const wchar_t *type, ResourceVisitor *visitor);

// Writes span to a new file at path straight from the mapped data, in writes of at most 8 MiB.
// On false the last-error value holds the reason and no partial file remains.
bool WriteResourceToFile(const ResourceSpan &span, const wchar_t *path);

inline constexpr uint32_t kResourceWriteChunk = 8 * 1024 * 1024;

// Writes the archive and a runnable "setup.exe" into work_directory: expanded from the cabinet
// under "BL", or, in a patch stub (a "setup" resource under "B7"), built by the installed setup
// program from that patch. On success archive_path and setup_path name them; on failure they are
// left as the removal at the end of the run expects (empty, naming a file to remove, or holding
// the work directory itself). max_removal_attempts is raised by the removal of the compressed
// setup file or the patch.
RunResult ExtractPayload(const RunConfiguration &configuration, HMODULE module,
                         const PathBuffer &work_directory, PathBuffer &archive_path,
                         PathBuffer &setup_path, int32_t &max_removal_attempts);
