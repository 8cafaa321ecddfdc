# SPDX-License-Identifier: Zlib
# Sourced by the shell tests and the benchmarks, which hand Windows programs Unix paths.

# windows_path PATH: a Unix path as Windows names it, with the drive Wine maps / to.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
