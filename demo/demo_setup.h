#pragma once

// The demo setup program (demo-setup.exe): its own exit codes, and where it records what it
// received. scripts/demo.sh reads the names of the codes from here.

#include <stdint.h>

// All below 256: Wine hands a script only the low 8 bits of a process's exit code.
inline constexpr uint32_t DEMO_SETUP_BAD_COMMAND_LINE = 201; // no --install-archive first, or
                                                             // a --demo-fail that is no code
inline constexpr uint32_t DEMO_SETUP_ARCHIVE_UNREADABLE = 202;
inline constexpr uint32_t DEMO_SETUP_NOT_A_7Z_ARCHIVE = 203;
inline constexpr uint32_t DEMO_SETUP_RECORD_FAILED = 204;

// The record, a UTF-8 text file of the product's own under the user's local application data:
// %LOCALAPPDATA%\Velmora\Ondrel\last-install.txt, rewritten by every run.
inline constexpr wchar_t kDemoRecordFolders[][16] = {L"Velmora", L"Ondrel"};
inline constexpr wchar_t kDemoRecordName[] = L"last-install.txt";

// Asks the program to fail with exit code N (1 to 4294967295) once it has checked the archive.
inline constexpr wchar_t kDemoFailSwitch[] = L"--demo-fail=";
