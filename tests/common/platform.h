// SPDX-License-Identifier: Zlib
// Where a test runs: under Wine or on Windows, elevated or not. Tests branch on it where the two
// differ, and skip, saying why, what cannot be done in the place they run.
#pragma once

#include <string>

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningUnderWine();

// Whether HKEY_LOCAL_MACHINE can be written: Wine does not elevate, every process may; on Windows
// only an elevated one.
bool CanWriteMachineKeys();

inline constexpr char kNeedsElevation[] =
    "writes HKEY_LOCAL_MACHINE, which takes a run from an elevated (administrator) prompt";

// In a test body: skip a test that writes HKEY_LOCAL_MACHINE where it cannot.
#define SKIP_UNLESS_MACHINE_KEYS_WRITABLE()                                                        \
  do {                                                                                             \
    if (!CanWriteMachineKeys()) {                                                                  \
      GTEST_SKIP() << kNeedsElevation;                                                             \
    }                                                                                              \
  } while (false)
