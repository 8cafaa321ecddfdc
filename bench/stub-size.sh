#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Prints the size of the stub without payload, and of its sections, from the default build.
set -euo pipefail
cd "$(dirname "$0")/.."
stub=build/bin/ondrel-stub.exe
[ -f "$stub" ] || { cmake --preset default >/dev/null && cmake --build --preset default --target ondrel_stub >/dev/null; }
echo "stub without payload: $(stat -c %s "$stub") bytes ($stub)"
x86_64-w64-mingw32-objdump -h "$stub" | while read -r index name size _; do
    if [[ $index =~ ^[0-9]+$ ]]; then
        printf '  %-8s %6d bytes of content\n' "$name" "$((16#$size))"
    fi
done
