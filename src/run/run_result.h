// SPDX-License-Identifier: Zlib
#pragma once

#include <stdint.h>

// The outcome of one stage, and of the whole run: a nonzero exit_code is the code the process
// ends with; extra_code carries the detail (a Windows error code, a file-attribute word, or 0).
struct RunResult {
  uint32_t exit_code;
  uint32_t extra_code;
};

inline constexpr uint32_t RESULT_SUCCESS = 0;
inline constexpr uint32_t RESULT_CONFIGURATION_FAILED = 101;
inline constexpr uint32_t RESULT_COMMAND_TOO_LONG = 105;
inline constexpr uint32_t RESULT_WAIT_FAILED = 107;
inline constexpr uint32_t RESULT_PATH_TOO_LONG = 108;
inline constexpr uint32_t RESULT_WORK_DIR_FAILED = 109;
inline constexpr uint32_t RESULT_CLIENT_STATE_UNREADABLE = 110;
inline constexpr uint32_t RESULT_PATCH_VERSION_MISMATCH = 111;
inline constexpr uint32_t RESULT_ARCHIVE_EXTRACTION_FAILED = 112;
inline constexpr uint32_t RESULT_SETUP_EXPANSION_FAILED = 115;
inline constexpr uint32_t RESULT_SETUP_EXTRACTION_FAILED = 116;
inline constexpr uint32_t RESULT_WORK_DIR_ACL_FAILED = 117;
inline constexpr uint32_t RESULT_REFUSED_SWITCH = 118;
inline constexpr uint32_t RESULT_PATCH_SETUP_FILE_NOT_FOUND = 119;
inline constexpr uint32_t RESULT_PATCH_SETUP_PATH_NOT_FOUND = 120;
inline constexpr uint32_t RESULT_PATCH_SETUP_LAUNCH_FAILED = 121;
inline constexpr uint32_t RESULT_SETUP_FILE_NOT_FOUND = 122;
inline constexpr uint32_t RESULT_SETUP_PATH_NOT_FOUND = 123;
inline constexpr uint32_t RESULT_SETUP_LAUNCH_FAILED = 124;
