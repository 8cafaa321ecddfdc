// SPDX-License-Identifier: Zlib
#pragma once

// The demo setup program (demo-setup.exe): its own exit codes, and where it records what it
// received. scripts/demo.sh reads the names of the codes from here.

#include <stdint.h>

// All below 256: Wine hands a script only the low 8 bits of a process's exit code.

// Neither form's switches first, or a --demo-fail that is no code.
inline constexpr uint32_t DEMO_SETUP_BAD_COMMAND_LINE = 201;
inline constexpr uint32_t DEMO_SETUP_ARCHIVE_UNREADABLE = 202;
inline constexpr uint32_t DEMO_SETUP_NOT_A_7Z_ARCHIVE = 203;
inline constexpr uint32_t DEMO_SETUP_RECORD_FAILED = 204;
inline constexpr uint32_t DEMO_SETUP_BAD_PATCH = 205; // unreadable, or without the marker
inline constexpr uint32_t DEMO_SETUP_NEW_SETUP_UNWRITTEN = 206;

// The records, UTF-8 text files of the product's own under the user's local application data:
// %LOCALAPPDATA%\Velmora\Ondrel\last-install.txt, rewritten by every run in the install form
// (and by one that is not understood), and last-patch.txt beside it for the patch form.
inline constexpr wchar_t kDemoRecordFolders[][16] = {L"Velmora", L"Ondrel"};
inline constexpr wchar_t kDemoRecordName[] = L"last-install.txt";
inline constexpr wchar_t kDemoPatchRecordName[] = L"last-patch.txt";

// The demo's patch of its setup program: this marker, then the new program's bytes.
inline constexpr char kDemoPatchMarker[] = "ONDREL-DEMO-PATCH\n";

// Asks the program to fail with exit code N (1 to 4294967295) once it has checked the archive.
inline constexpr wchar_t kDemoFailSwitch[] = L"--demo-fail=";
