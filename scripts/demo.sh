#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The README's demo. Installs what is missing, builds a stub that carries the demo product
# (demo/product, packed into a 7z archive) and its setup program (demo/demo_setup.cpp), runs it
# under Wine from a downloads folder the way a user would, and prints what each run did. Wine
# runs with the build tree's own prefix (build/wine-prefix), never with ~/.wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "Building the stub and the demo (the first build takes a few minutes) ..."
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target demo_stub demo_patch_stub >/dev/null

repo=$PWD
build=$repo/build
prefix=$build/wine-prefix
wine_run() { "$repo/cmake/wine-run" "$prefix" "$@"; }
quietly() { "$@" >/dev/null 2>&1; }

demo=$build/demo
downloads=$demo/downloads
rm -rf "$demo"
mkdir -p "$downloads"
cp "$build/bin/demo/ondrel-demo.exe" "$downloads/ondrel-setup.exe"
cp "$build/bin/demo/ondrel-demo-update.exe" "$downloads/ondrel-update.exe"

# What the update client would have made: the product's ClientState key, which the stub reports
# into but never creates. Made afresh for every run, so each shows only what that run wrote;
# with the installed product's setup program as UninstallString once one is installed.
client_state='HKCU\Software\Velmora\Update\ClientState\{5E1C27B9-3D40-4F8A-9C62-71B0D4E8A315}'
uninstall_string=""
fresh_client_state() {
    quietly wine_run reg delete "$client_state" /reg:32 /f || true
    quietly wine_run reg add "$client_state" /reg:32 /f
    [ -z "$uninstall_string" ] || quietly wine_run reg add "$client_state" /reg:32 \
        /v UninstallString /t REG_SZ /d "$uninstall_string" /f
}
# A cleanup setting left behind by the tests would keep the work directory.
quietly wine_run reg delete 'HKCU\Software\Velmora' /v OndrelInstallerCleanup /f || true

# The demo setup program writes its records under the user's local application data.
local_app_data=$(wine_run cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
record_name="$local_app_data\\Velmora\\Ondrel\\last-install.txt"
record=$(wine_run winepath -u "$record_name" 2>/dev/null)
patch_record=$(dirname "$record")/last-patch.txt

# The name of an exit code: the stub's own from src/run/run_result.h, else the setup program's.
code_name() {
    local name
    name=$(sed -n "s/^inline constexpr uint32_t \(RESULT_[A-Z0-9_]*\) = $1;$/\1/p" \
        src/run/run_result.h)
    if [ -n "$name" ]; then
        echo "$name"
        return
    fi
    name=$(sed -n "s/^inline constexpr uint32_t \(DEMO_SETUP_[A-Z0-9_]*\) = $1;.*/\1/p" \
        demo/demo_setup.h)
    echo "the setup program's own exit code${name:+ ($name)}"
}

# The values in the ClientState key on one line, the failure record in its order; DWORDs in
# decimal up to 65535, else in hexadecimal.
reported() {
    local name type value line=""
    local -A values=()
    while read -r name type value; do
        case $type in
        REG_DWORD) ((value >= 65536)) || value=$((value)) ;;
        REG_*) ;;
        *) continue ;;
        esac
        values[$name]=$value
    done < <(wine_run reg query "$client_state" /reg:32 2>/dev/null | tr -d '\r')
    unset 'values[(Default)]' 'values[UninstallString]'
    for name in ap InstallerResult InstallerError InstallerExtraCode1 "${!values[@]}"; do
        [ -n "${values[$name]+set}" ] || continue
        line+="${line:+, }$name = ${values[$name]}"
        unset "values[$name]"
    done
    echo "${line:-nothing written}"
}

field() { sed -n "s/^$2: //p" "$1" | tr -d '\r'; }

# Runs a stub from the downloads folder with the given arguments, then prints what happened.
run() {
    local stub=$1 started code elapsed left
    shift
    fresh_client_state
    rm -f "$record" "$patch_record"
    started=$(date +%s%N)
    set +e
    (cd "$downloads" && wine_run "./$stub" "$@" 2>/dev/null)
    code=$?
    set -e
    elapsed=$((($(date +%s%N) - started) / 1000000))
    left=$(find "$downloads" -mindepth 1 -maxdepth 1 -name 'QV_*' -printf '%f ')

    printf '  %-16s %s  %s\n' "exit code" "$code" "$(code_name "$code")"
    printf '  %-16s %s ms (Wine'\''s start-up included)\n' "took" "$elapsed"
    if [ -f "$patch_record" ]; then
        printf '  %-16s %s\n' "installed got" "$(field "$patch_record" 'command line')"
    fi
    if [ -f "$record" ]; then
        printf '  %-16s %s\n' "setup.exe got" "$(field "$record" 'command line')"
        printf '  %-16s archive of %s, 7z signature: %s\n' "" "$(field "$record" 'archive size')" \
            "$(field "$record" '7z signature')"
    else
        printf '  %-16s %s\n' "setup.exe" "did not run"
    fi
    printf '  %-16s %s\n' "registry" "$(reported)"
    printf '  %-16s %s\n' "work directory" "${left:-gone}"
}

stub=$downloads/ondrel-setup.exe
archive=$build/bin/demo/ONDREL.PACKED.7Z
setup=$build/bin/demo/demo-setup.exe
echo
echo "The stub: ${stub#"$repo"/}, $(stat -c %s "$stub") bytes"
echo "  the stub itself: $(stat -c %s "$build/bin/ondrel-stub.exe") bytes; its payload: a" \
    "$(stat -c %s "$archive")-byte 7z archive of demo/product"
echo "  and the $(stat -c %s "$setup")-byte demo setup program (demo/demo_setup.cpp), cabinet-compressed"
echo "A run writes both into a work directory beside the stub, runs setup.exe with the archive's"
echo "path and the caller's arguments, removes what it wrote and reports to the update client's"
echo "key $client_state (32-bit view)."
echo
echo "1. A user runs it from the downloads folder:  ondrel-setup.exe"
run ondrel-setup.exe
# A code below 256: Wine hands this script only the low 8 bits of the stub's exit code.
echo
echo "2. The setup program is asked to fail:  ondrel-setup.exe --demo-fail=3"
run ondrel-setup.exe --demo-fail=3
echo
echo "3. A refused switch ends the run before anything is made:  ondrel-setup.exe --cleanup"
run ondrel-setup.exe --cleanup

# Version 2.0.1 installed, its setup program registered where the update client keeps it.
installed=$demo/Programs/Velmora/2.0.1
mkdir -p "$installed"
cp "$setup" "$installed/setup.exe"
uninstall_string="\"Z:$(tr / '\\' <<<"$installed")\\setup.exe\""
echo
echo "4. A patch stub for the installed 2.0.1, whose setup program builds the new one from the"
echo "   patch, which then installs:  ondrel-update.exe ($(stat -c %s "$downloads/ondrel-update.exe") bytes)"
run ondrel-update.exe

quietly wine_run reg delete "$client_state" /reg:32 /f || true
echo
echo "The demo setup program's last record: $record_name in build/wine-prefix."
echo "Every exit code and registry value: docs/reference.md."
