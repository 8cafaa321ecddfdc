# SPDX-License-Identifier: Zlib
# PACKER_FUZZ_TARGETS: the target names of targets.txt, for this project and for the main
# project, which runs their replays too.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/targets.txt PACKER_FUZZ_TARGETS REGEX "^[a-z]")
list(TRANSFORM PACKER_FUZZ_TARGETS REPLACE "[ \t].*" "")
