#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Makes the files the payload tests read: cabinets made with gcab as a release build would (one
# file each, compressed with MSZIP and stored, under the usual name and under another one; and one
# of two files), and
# archives of the sizes that matter to the writer.
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
  gcab -c -z two-files.cab setup.exe "Another Name.dat"
)
cp "$work"/*.cab "$out/"
# A cabinet cut short: the library cannot finish its one file.
head -c 50000 "$out/mszip.cab" >"$out/truncated.cab"

head -c 65536 /dev/urandom >"$out/archive.bin"
: >"$out/empty.bin"
head -c 8388608 /dev/urandom >"$out/archive-8mib.bin"
cp "$out/archive-8mib.bin" "$out/archive-8mib-plus-1.bin"
printf 'x' >>"$out/archive-8mib-plus-1.bin"

# Setup programs for the packer's own cabinets: empty, one byte, one block exactly and one byte
# more, blocks that do not compress, and a random run repeated at a period that does not divide
# the block, so that every block leans on the one before it.
: >"$out/setup-0.bin"
printf 'M' >"$out/setup-1.bin"
head -c 32768 /dev/urandom >"$out/setup-32k.bin"
cp "$out/setup-32k.bin" "$out/setup-32k-plus-1.bin"
printf 'Z' >>"$out/setup-32k-plus-1.bin"
head -c 204800 /dev/urandom >"$out/setup-200k-random.bin"
head -c 10007 /dev/urandom >"$work/period"
for _ in $(seq 105); do cat "$work/period"; done >"$out/setup-1m-repetitive.bin"
