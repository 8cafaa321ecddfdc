#!/usr/bin/env bash
# Installs what is missing, builds the stub, and runs it under Wine beside a scratch folder,
# reporting what it did.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ondrel_stub >/dev/null

build=$PWD/build
prefix=$build/wine-prefix
wine_run() { cmake/wine-run "$prefix" "$@"; }

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/bin/ondrel-stub.exe" "$demo/"

leftovers() { find "$demo" -mindepth 1 -maxdepth 1 -name 'QV_*' -printf '%f ' ; }
run() {
    local started ended code
    started=$(date +%s%N)
    set +e
    wine_run "$demo/ondrel-stub.exe" "$@" 2>/dev/null
    code=$?
    set -e
    ended=$(date +%s%N)
    printf '  exit code %-3s  %4d ms  left beside the stub: %s\n' "$code" \
        $(( (ended - started) / 1000000 )) "$(leftovers)"
}

echo "Stub: $(stat -c %s "$build/bin/ondrel-stub.exe") bytes, in $demo"
echo "A plain run creates its work directory beside itself and removes it again:"
run
echo "A refused switch (--cleanup) ends with 118 before anything is created:"
run --cleanup
echo "With HKCU\\Software\\Velmora OndrelInstallerCleanup = \"0\" the work directory stays:"
wine_run reg add 'HKCU\Software\Velmora' /v OndrelInstallerCleanup /t REG_SZ /d 0 /f >/dev/null 2>&1
run
wine_run reg delete 'HKCU\Software\Velmora' /v OndrelInstallerCleanup /f >/dev/null 2>&1
echo "(Extraction and the setup program's launch arrive with the payload support.)"
