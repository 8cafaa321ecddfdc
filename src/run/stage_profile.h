// SPDX-License-Identifier: Zlib
#pragma once

// Timestamps at the stages of a run, for the benchmarks only. Only a build that defines
// ONDREL_STAGE_PROFILE (a bench-only copy of the stub) records them; everywhere else each mark is
// an empty inline function and the stub's code stays exactly as it is without them.

enum class Stage : unsigned {
  kEntry,
  kConfigured,
  kWorkDirectoryMade,
  kFullInstallMarked,
  kArchiveWritten,
  kSetupExpanded,
  kSetupFlushed,
  kPayloadExtracted,
  kWorkingSetTrimmed,
  kSetupRan,
  kFilesRemoved,
  kOutcomeRecorded,
  kExit,
  kCount
};

#ifdef ONDREL_STAGE_PROFILE
void MarkStage(Stage stage);
// Marks kExit and appends the run's marks as one line to the file named by the environment
// variable ONDREL_STAGE_PROFILE: "frequency=F", then "name=T" per stage in order, T the counter
// value at its mark (0 for a stage the run did not reach).
void WriteStageProfile();
#else
inline void MarkStage(Stage) {}
inline void WriteStageProfile() {}
#endif
