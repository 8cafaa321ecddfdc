#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# A product's own CMake build packs its installer from an unpacked release bundle and nothing of
# this repository: tests/cmake-consumer, copied away from it, makes one installer with
# `cmake --build` and another with `cpack`; both carry the product's name and version (read back
# by pefile), and the first runs under Wine. The same CMake files drive the Windows bundle's
# pack-stub.exe through Wine, which makes the same bytes. Bad calls stop the configuration or the
# build with a message that names the call, and leave no installer.
#   cmake_consumer_test.sh REPO BUILD_DIR SETUP_PROGRAM WINE_RUN PREFIX
set -uo pipefail
repo=$1
build=$2
program=$3

source "$repo/tests/tools/check-lib.sh" cmake-consumer-test
use_packer_wine_run "$4" "$5"
version=$(head -n 1 "$repo/VERSION")
linux=$scratch/linux-user/ondrel-stub-$version-linux-x86_64
windows=$scratch/windows-user/ondrel-stub-$version-windows-x64
export SOURCE_DATE_EPOCH=1000000000

"$repo/scripts/release.sh" --build-dir "$build" --dist dist >release.log 2>&1 ||
    { fail "release.sh: $(tail -n 3 release.log)" && finish; }
mkdir -p linux-user windows-user
tar -xzf "dist/${linux##*/}.tar.gz" -C linux-user || fail "tar cannot unpack the Linux bundle"
7zz x -bd -owindows-user "dist/${windows##*/}.zip" >/dev/null || fail "7-Zip cannot unpack the Windows bundle"
cp -R -- "$repo/tests/cmake-consumer" notes
cp -- "$program" setup.exe

# identity STUB: the fixed file version and the strings of STUB's version block, as pefile reads them.
identity() {
    /usr/bin/python3 - "$1" <<'EOF'
import sys, pefile
pe = pefile.PE(sys.argv[1])
fixed = pe.VS_FIXEDFILEINFO[0]
print("fixed %d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                             fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF))
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            for key, value in sorted(table.entries.items()):
                print("%s=%s" % (key.decode(), value.decode()))
EOF
}
# expect_identity WHAT STUB LINES: STUB's identity is LINES.
expect_identity() {
    local seen
    seen=$(identity "$2" 2>&1)
    [ "$seen" = "$3" ] || fail "$1 carries:"$'\n'"$seen"$'\n'"not:"$'\n'"$3"
}

# With the Linux bundle: configure, build, build again (nothing to do), cpack.
cmake -S notes -B notes-build "-DCMAKE_PREFIX_PATH=$linux" "-DPRODUCT_SETUP=$scratch/setup.exe" \
    >configure.log 2>&1 || fail "configuring: $(grep -m1 -A3 'Error' configure.log)"
cmake --build notes-build >build.log 2>&1 || fail "cmake --build: $(grep -m1 -A3 'Error' build.log)"
installer=notes-build/notes-setup.exe
archive=notes-build/ondrel-installers/notes_installer/product.7z
"$linux/pack-stub" --check "$installer" >check.log 2>&1 || fail "--check: $(tail -n 1 check.log)"
cmake --build notes-build >again.log 2>&1 || fail "cmake --build again: $(tail -n 1 again.log)"
grep -E 'Archiving|Packing' again.log && fail "a build with nothing changed packed again"
# Archive entries: every file, in byte order of their names, dated SOURCE_DATE_EPOCH.
entries=$(7zz l -slt "$archive" | sed -n 's/^Path = //p; s/^Modified = \([^.]*\).*/\1/p' | tail -n +2 |
    paste -sd' ')
[ "$entries" = "README.txt 2001-09-09 01:46:40 docs/changes.txt 2001-09-09 01:46:40 notes.ini 2001-09-09 01:46:40" ] ||
    fail "the archive holds: $entries"
expect_identity "the built installer" "$installer" "fixed 2.3.1.0
CompanyName=Velmora
FileDescription=Velmora Notes Setup
FileVersion=2.3.1.0
LegalCopyright=Copyright (c) 2026 Velmora
ProductName=Velmora Notes
ProductVersion=2.3.1.0"
# icon_and_level STUB: the sizes of STUB's icons and the level its manifest asks for.
icon_and_level() {
    "$linux/pack-stub" --check --json "$1" | /usr/bin/python3 -c 'import json, sys
report = json.load(sys.stdin)
print(" ".join("%dx%dx%d" % (i["width"], i["height"], i["bit_count"]) for i in report["icons"]),
      report["execution_level"])'
}
[ "$(icon_and_level "$installer")" = "16x16x32 highestAvailable" ] ||
    fail "the built installer's icon and level: $(icon_and_level "$installer" 2>&1)"
mkdir run && cp -- "$installer" run/
check_stub_run "the built installer" run/notes-setup.exe "$archive"
# A product file changed: archived and packed again.
sleep 1 && echo "sync = off" >>notes/product/notes.ini
cmake --build notes-build >changed.log 2>&1 || fail "cmake --build after a change: $(tail -n 1 changed.log)"
grep -q Packing changed.log || fail "a changed product file was not packed again"

(cd notes-build && cpack) >cpack.log 2>&1 || fail "cpack: $(grep -m1 -A3 'Error' cpack.log)"
packaged=notes-build/VelmoraNotes-2.3.1-win64.exe
"$linux/pack-stub" --check "$packaged" >check.log 2>&1 || fail "cpack's --check: $(tail -n 1 check.log)"
expect_identity "cpack's installer" "$packaged" "fixed 2.3.1.0
CompanyName=Velmora
FileDescription=Velmora Notes installer
FileVersion=2.3.1.0
OriginalFilename=VelmoraNotes-2.3.1-win64.exe
ProductVersion=2.3.1.0
productname=Velmora Notes"
[ "$(icon_and_level "$packaged")" = "16x16x32 asInvoker" ] ||
    fail "cpack's installer's icon and level: $(icon_and_level "$packaged" 2>&1)"
# The installed tree less the setup program.
entries=$(7zz l -slt notes-build/_CPack_Packages/*/External/ondrel/product.7z | sed -n 's/^Path = //p' |
    tail -n +2 | paste -sd' ')
[ "$entries" = "README.txt docs/changes.txt notes.ini" ] || fail "cpack's archive holds: $entries"

# With the Windows bundle, through Wine, from the archive the Linux build made: the same installer.
cmake -S notes -B windows-build "-DCMAKE_PREFIX_PATH=$windows" "-DPRODUCT_SETUP=$scratch/setup.exe" \
    "-DPRODUCT_ARCHIVE=$scratch/$archive" "-DONDREL_STUB_PACKER_LAUNCHER=$(IFS=';' && echo "${wine_run[*]}")" \
    >configure.log 2>&1 || fail "configuring for pack-stub.exe: $(grep -m1 -A3 'Error' configure.log)"
grep -q 'pack-stub\.exe' windows-build/ondrel-installers/notes_installer/pack-.cmake ||
    fail "the Windows bundle's build does not run pack-stub.exe"
cmake --build windows-build >build.log 2>&1 ||
    fail "cmake --build with pack-stub.exe: $(grep -m1 -A3 'Error' build.log)"
cmp -s "$installer" windows-build/notes-setup.exe || fail "pack-stub.exe packed another installer"
# Without a launcher, a bundle whose packer this system cannot run is not found.
cmake -S notes -B unrunnable "-DCMAKE_PREFIX_PATH=$windows" "-DPRODUCT_SETUP=$scratch/setup.exe" \
    >unrunnable.log 2>&1 && fail "a Windows packer was accepted without a launcher"
grep -q 'is a Windows program' unrunnable.log || fail "without a launcher: $(grep -m1 -A3 Error unrunnable.log)"

# name stage message call: a product whose CMakeLists.txt makes this one bad call (\n between
# commands) stops at STAGE (configure, build or cpack) with MESSAGE (a pattern), and leaves no
# installer behind, not even one an earlier build made.
mkdir -p bad-product && echo data >bad-product/a.txt && : >empty.7z
while IFS='|' read -r name stage message call; do
    mkdir "$name" && cd "$name" || exit 1
    printf 'cmake_minimum_required(VERSION 3.25)\nproject(Bad VERSION 1.0 LANGUAGES NONE)\n%s\n%b\n' \
        'find_package(OndrelStub CONFIG REQUIRED)' "$call" >CMakeLists.txt
    reached=configure
    if cmake -S . -B out "-DCMAKE_PREFIX_PATH=$linux" "-DSCRATCH=$scratch" >log 2>&1; then
        reached=build
        # An installer of an earlier build, older than every input: a failed pack removes it too.
        [[ $call == ondrel_add_installer* ]] && : >out/bad.exe && touch -d @946684800 out/bad.exe
        if cmake --build out >log 2>&1; then
            reached=cpack
            (cd out && cpack) >log 2>&1 && reached=passed
        fi
    fi
    [ "$reached" = "$stage" ] || fail "$name: stopped at $reached, not $stage: $(grep -m1 -A3 Error log)"
    # CMake wraps long messages: read them as one line.
    tr -s '\n ' '  ' <log | grep -qE -- "$message" || fail "$name: no \"$message\" in: $(tr -s '\n ' '  ' <log)"
    found=$(find out -name '*.exe' -o -name '*.packing' | grep -v CMakeFiles)
    [ -z "$found" ] || fail "$name left $found"
    cd "$scratch" || exit 1
done <<'EOF'
setup-missing|configure|ondrel_add_installer\(bad\) in .*/setup-missing/CMakeLists.txt: SETUP \(not a target defined before this call\) .*/nowhere/setup.exe does not exist|ondrel_add_installer(bad OUTPUT bad.exe ARCHIVE_DIR ${SCRATCH}/bad-product SETUP nowhere/setup.exe)
folder-missing|configure|ondrel_add_installer\(bad\) in .*: ARCHIVE_DIR .*/no-such-folder is not a folder|ondrel_add_installer(bad OUTPUT bad.exe ARCHIVE_DIR no-such-folder SETUP ${SCRATCH}/setup.exe)
packer-fails|build|ondrel_add_installer\(bad\) in .*/packer-fails/CMakeLists.txt: packing .*/bad.exe failed: pack-stub: --cab-compression lzx:9|ondrel_add_installer(bad OUTPUT bad.exe ARCHIVE_DIR ${SCRATCH}/bad-product SETUP ${SCRATCH}/setup.exe PACK_OPTIONS --cab-compression lzx:9)
check-fails|build|out/bad.exe was packed but fails pack-stub --check: .*is empty|ondrel_add_installer(bad OUTPUT bad.exe ARCHIVE ${SCRATCH}/empty.7z SETUP ${SCRATCH}/setup.exe PACK_OPTIONS --no-layout-check)
cpack-setup-missing|cpack|OndrelStubCPack: ONDREL_CPACK_SETUP bin/setup.exe is not a file the project installs|install(FILES ${SCRATCH}/bad-product/a.txt DESTINATION .)\nset(CPACK_GENERATOR External)\nset(ONDREL_CPACK_SETUP bin/setup.exe)\ninclude(OndrelStubCPack)
cpack-without-setup|configure|include\(OndrelStubCPack\): set ONDREL_CPACK_SETUP|set(CPACK_GENERATOR External)\ninclude(OndrelStubCPack)
EOF

finish
