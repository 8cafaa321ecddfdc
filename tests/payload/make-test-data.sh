#!/usr/bin/env bash
# Makes the cabinets the expansion tests read, with gcab as a release build would: one file each,
# compressed (MSZIP) and stored, under the usual name and under another one.
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Three CFDATA blocks' worth of bytes that do not compress, so every block is really decoded.
head -c 100000 /dev/urandom >"$work/setup.exe"
cp "$work/setup.exe" "$out/cabinet-content.bin"
cp "$work/setup.exe" "$work/Another Name.dat"
(
  cd "$work"
  gcab -c -z mszip.cab setup.exe
  gcab -c stored.cab setup.exe
  gcab -c -z other-name.cab "Another Name.dat"
)
cp "$work"/*.cab "$out/"
