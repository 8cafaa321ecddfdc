#!/usr/bin/env bash
# Installs what is missing, builds the stub, packs it with a small real 7z archive and the
# project's controllable setup program, and runs it under Wine the way a user would, reporting
# what each run did.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target ondrel_stub setup_fixture test_archive fixture_patch \
    >/dev/null

build=$PWD/build
prefix=$build/wine-prefix
wine_run() { cmake/wine-run "$prefix" "$@"; }
windows_path() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/downloads"
stub=$demo/downloads/ondrel-setup.exe
tools/pack-stub -o "$stub" --archive "$build/bin/fixtures/test-archive.7z" \
    --setup "$build/bin/setup-fixture.exe"

# The setup program writes the command line it received here (UTF-16), and exits with the code
# it is told; run as the installed program of a patch stub, it writes its command line to the
# second file.
export ONDREL_FIXTURE_RECORD ONDREL_FIXTURE_PATCH_RECORD
ONDREL_FIXTURE_RECORD=$(windows_path "$demo/received.txt")
ONDREL_FIXTURE_PATCH_RECORD=$(windows_path "$demo/patch-received.txt")
client_state='HKCU\Software\Velmora\Update\ClientState\{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}'

leftovers() { find "$demo/downloads" -mindepth 1 -maxdepth 1 ! -name 'ondrel-*.exe' -printf '%f '; }
reported() {
    printf '  the update client now reads:'
    wine_run reg query "$client_state" /reg:32 2>/dev/null | tr -d '\r' |
        awk '$2 ~ /^REG_/ && $1 != "UninstallString" && $1 != "(Default)" { printf " %s=%s", $1, $3 } END { print "" }'
}
run() {
    local started ended code
    rm -f "$demo/received.txt"
    started=$(date +%s%N)
    set +e
    wine_run "$stub" "$@" 2>/dev/null
    code=$?
    set -e
    ended=$(date +%s%N)
    printf '  exit code %-3s  %4d ms  left beside the stub: %s\n' "$code" \
        $(( (ended - started) / 1000000 )) "$(leftovers)"
    if [ -f "$demo/patch-received.txt" ]; then
        printf '  the installed setup program received: %s\n' \
            "$(iconv -f UTF-16LE -t UTF-8 "$demo/patch-received.txt")"
        rm -f "$demo/patch-received.txt"
    fi
    if [ -f "$demo/received.txt" ]; then
        printf '  the setup program received: %s\n' "$(iconv -f UTF-16LE -t UTF-8 "$demo/received.txt")"
    else
        printf '  no setup program ran\n'
    fi
}

echo "Stub: $(stat -c %s "$build/bin/ondrel-stub.exe") bytes without payload;" \
    "packed with a $(stat -c %s "$build/bin/fixtures/test-archive.7z")-byte 7z archive:" \
    "$(stat -c %s "$stub") bytes, in $demo/downloads"
echo "A run writes the archive and setup.exe into its work directory, runs setup.exe with the"
echo "archive's path and the caller's arguments, and removes everything again:"
run --system-level
echo "The setup program's exit code (here 3) becomes the stub's:"
ONDREL_FIXTURE_EXIT_CODE=3 run
echo "A refused switch (--cleanup) ends with 118 before anything is created:"
run --cleanup
echo "With HKCU\\Software\\Velmora OndrelInstallerCleanup = \"0\" the work directory stays:"
wine_run reg add 'HKCU\Software\Velmora' /v OndrelInstallerCleanup /t REG_SZ /d 0 /f >/dev/null 2>&1
run
wine_run reg delete 'HKCU\Software\Velmora' /v OndrelInstallerCleanup /f >/dev/null 2>&1
for left in "$demo"/downloads/QV_*; do
    [ -d "$left" ] && printf '  %s holds: %s\n' "$(basename "$left")" "$(ls "$left" | tr '\n' ' ')"
done
rm -rf "$demo"/downloads/QV_*

echo "With the update client's key for the product present, a run reports to it: \"-full\" in ap,"
echo "and on success 0x30000 plus the removal retries; on failure the failure record:"
wine_run reg delete "$client_state" /reg:32 /f >/dev/null 2>&1 || true
wine_run reg add "$client_state" /reg:32 /f >/dev/null 2>&1
run
reported
ONDREL_FIXTURE_EXIT_CODE=3 run
reported

echo "A patch stub for version 2.0.1 has the installed setup program (registered as"
echo "UninstallString) build the new one from its patch, then installs with the new one:"
installed=$demo/Programs/Velmora/2.0.1
mkdir -p "$installed"
cp "$build/bin/setup-fixture.exe" "$installed/setup.exe"
wine_run reg delete "$client_state" /reg:32 /f >/dev/null 2>&1
wine_run reg add "$client_state" /reg:32 /v UninstallString /t REG_SZ \
    /d "\"$(windows_path "$installed/setup.exe")\"" /f >/dev/null 2>&1
stub=$demo/downloads/ondrel-update.exe
tools/pack-stub -o "$stub" --archive "$build/bin/fixtures/test-archive.7z" \
    --patch "$build/bin/fixtures/setup-fixture.patch" --previous-version 2.0.1
run
reported
wine_run reg delete "$client_state" /reg:32 /f >/dev/null 2>&1
