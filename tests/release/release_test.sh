#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# The release as a release engineer downloads it: scripts/release.sh makes the same archives
# twice; each bundle holds the licence, a notice for every library its programs' links took and
# documents that speak of no repository path; the relink archive gives the released Linux packer
# again; each bundle, unpacked into a fresh folder outside the repository, packs a stub from what it
# holds alone with a PATH of no MinGW tool and no build tree (the Windows packer under Wine); the
# stub, signed afterwards with Debian 12's osslsigncode, verifies and runs: the setup program gets
# its command line and the archive, and nothing is left beside the stub.
#   release_test.sh REPO BUILD_DIR SETUP_PROGRAM PRODUCT_7Z OSSLSIGNCODE WINE_RUN PREFIX
set -uo pipefail
repo=$1
build=$2
program=$3
product=$4
osslsigncode=$5

source "$repo/tests/tools/check-lib.sh" release-test
# Through the packer tests' wrapper, which runs again what Wine fails to start under load; with a
# PATH of no compiler and no build tree.
use_packer_wine_run "$6" "$7"
wine_run=(env "PATH=$scratch/tools" "${wine_run[@]}")

version=$(head -n 1 "$repo/VERSION")
linux=ondrel-stub-$version-linux-x86_64
windows=ondrel-stub-$version-windows-x64
relink=$linux-relink
tests=ondrel-stub-$version-windows-tests
# A day long past, so that a date taken from today's clock would show.
export SOURCE_DATE_EPOCH=1000000000

# Made twice, the second time later and from elsewhere, with another umask and time zone.
"$repo/scripts/release.sh" --build-dir "$build" --dist first >release.log 2>&1 ||
    { fail "release.sh: $(tail -n 3 release.log)" && finish; }
sleep 2 # a zip stores times in steps of 2 s
mkdir elsewhere
(cd elsewhere && umask 077 && TZ=Pacific/Auckland "$repo/scripts/release.sh" \
    --build-dir "$build" --dist ../second) >release.log 2>&1 ||
    fail "release.sh again: $(tail -n 3 release.log)"
for file in "$linux.tar.gz" "$windows.zip" "$relink.tar.gz" "$tests.zip" SHA256SUMS; do
    cmp -s "first/$file" "second/$file" || fail "made twice, $file differs"
done
(cd first && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not match the archives"
tar -tvzf "first/$linux.tar.gz" | awk '$2 != "0/0" { print; exit 1 }' >/dev/null ||
    fail "the tar archive names owners other than 0/0"

mkdir -p linux-user windows-user packed signed unsigned tools
tar -xzf "first/$linux.tar.gz" -C linux-user || fail "tar cannot unpack $linux.tar.gz"
7zz x -bd -owindows-user "first/$windows.zip" >/dev/null || fail "7-Zip cannot unpack $windows.zip"
cp -- "$product" product.7z && cp -- "$program" setup.exe
# Wine and what its launcher and the wrappers call: no compiler, no build tree.
for tool in sh bash wine wineserver wineboot mkdir dirname flock touch mktemp grep cat rm; do
    ln -s "$(command -v "$tool")" tools/
done
# pack PLATFORM: the packed stub of that platform's bundle, as packed/PLATFORM.exe
pack() {
    case $1 in
    linux) PATH=$scratch/tools "linux-user/$linux/pack-stub" -o packed/linux.exe \
        --archive product.7z --setup setup.exe ;;
    windows) "${wine_run[@]}" "windows-user/$windows/pack-stub.exe" \
        -o "$(windows_path "$scratch/packed/windows.exe")" \
        --archive "$(windows_path "$scratch/product.7z")" \
        --setup "$(windows_path "$scratch/setup.exe")" ;;
    esac
}
cmake_package="Config ConfigVersion Functions Steps CPack CPackage"
# platform folder packer other notices: each bundle holds these files and no other, matching its
# SHA256SUMS; its packer names the version, and packs.
while read -r platform folder packer other notices; do
    bundle=$platform-user/$folder
    expected=$(printf '%s\n' README.md SHA256SUMS LICENSE ondrel-stub.exe "$packer" ${other#-} \
        reference.md licenses/README.md $(printf 'licenses/%s.txt ' ${notices//,/ }) \
        $(printf 'lib/cmake/OndrelStub/OndrelStub%s.cmake ' $cmake_package) | LC_ALL=C sort)
    [ "$(cd "$bundle" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)" = "$expected" ] ||
        fail "$folder holds $(cd "$bundle" && find . -type f | tr '\n' ' ')"
    (cd "$bundle" && sha256sum --quiet -c SHA256SUMS) || fail "$folder: SHA256SUMS does not match"
    if [ "$platform" = linux ]; then
        reported=$("$bundle/$packer" --version 2>&1)
    else
        reported=$("${wine_run[@]}" "$bundle/$packer" --version 2>&1 </dev/null | tr -d '\r')
    fi
    [ "$reported" = "pack-stub $version" ] || fail "$folder: --version says $reported"
    pack "$platform" >pack.log 2>&1 </dev/null || fail "$folder: packing failed: $(tail -n 1 pack.log)"
done <<EOF
linux $linux pack-stub pack-stub.1 gcc-runtime,glibc,openssl,zlib
windows $windows pack-stub.exe - gcc-runtime-windows,mingw-w64,zlib-windows
EOF
readelf -d "linux-user/$linux/pack-stub" | grep -q NEEDED &&
    fail "the Linux packer needs shared libraries"
stub_version=$(printf '%s.0' "$version" | iconv -t UTF-16LE | od -An -tx1 -v | tr -d ' \n' |
    sed 's/../\\x&/g')
LC_ALL=C grep -qaP "$stub_version" "linux-user/$linux/ondrel-stub.exe" ||
    fail "the stub's version block is not $version.0"
cmp -s packed/linux.exe packed/windows.exe || fail "the two packers made different stubs"
[ "$(cut -d' ' -f3 first/SHA256SUMS | LC_ALL=C sort | tr '\n' ' ')" = \
    "$linux-relink.tar.gz $linux.tar.gz $tests.zip $windows.zip " ] || fail "dist/SHA256SUMS lists $(cat first/SHA256SUMS)"

# The documents of each bundle name no path of the repository, and its reference keeps every
# section of the repository's (a marked block left open would swallow the rest); LICENSE is the
# project's; the CMake package names no folder of the machine that made it.
for bundle in "linux-user/$linux" "windows-user/$windows"; do
    [ "$(grep '^#' "$repo/docs/reference.md")" = "$(grep '^#' "$bundle/reference.md")" ] ||
        fail "$bundle/reference.md lacks sections of docs/reference.md"
    cmp -s "$repo/LICENSE" "$bundle/LICENSE" || fail "$bundle: LICENSE is not the project's"
    grep -rlF -e "$repo" -e "$build" "$bundle/lib/cmake" >paths.log &&
        fail "the CMake package names where it was made: $(head -n 1 paths.log)"
    grep -HnE '(^|[^[:alnum:]_.-])(tools|build|src|demo|scripts|bench|resources)/|--preset' \
        "$bundle/README.md" "$bundle/reference.md" >paths.log && fail "repository path: $(head -n 1 paths.log)"
done

# notice package text: a notice names the installed version of the package its files came from,
# holds the licence in full, and points to no file of the machine that made it.
while read -r notice package text; do
    file=$(ls {linux-user/$linux,windows-user/$windows}/licenses/$notice.txt 2>/dev/null | head -n 1)
    grep -qF "$package $(dpkg-query -W -f='${Version}' "$package")" "$file" ||
        fail "$notice.txt does not name the version of $package"
    grep -qF "$text" "$file" || fail "$notice.txt lacks \"$text\""
    grep -q /usr/share "$file" && fail "$notice.txt points to /usr/share"
done <<EOF
glibc libc6-dev Version 2.1, February 1999
gcc-runtime libstdc++-12-dev Version 3, 29 June 2007
zlib zlib1g-dev Jean-loup Gailly and Mark Adler
openssl libssl-dev Version 2.0, January 2004
mingw-w64 mingw-w64-x86-64-dev Names of the copyright holders must not be used to endorse
gcc-runtime-windows g++-mingw-w64-x86-64-posix Version 3, 29 June 2007
zlib-windows libz-mingw-w64-dev Jean-loup Gailly and Mark Adler
EOF
# As the bundle's README says, a packed stub holds nothing of other projects: its import
# libraries are the build's own.
stub_notice=$(awk '/^## / { stub = $2 == "ondrel-stub.exe" } stub && !/^## /' \
    "linux-user/$linux/licenses/README.md")
grep -q "^Ondrel's own code only" <<<"$stub_notice" || fail "the stub links: $stub_notice"

# A library whose notice is not in the table stops the release, which names it.
for source in glibc mingw-w64; do
    grep -v "^$source |" "$repo/scripts/release-notices.txt" >notices.txt
    if "$repo/scripts/release.sh" --build-dir "$build" --dist unnoticed --notices notices.txt \
        >unnoticed.log 2>&1; then
        fail "released without the notice of $source"
    fi
    grep -q "no notice .* $source (" unnoticed.log || fail "without $source: $(tail -n 1 unnoticed.log)"
    [ -e unnoticed ] && fail "without $source: archives in $(ls unnoticed)"
done

# The relink archive holds the packer's own objects, libcrypto.a, libz.a and relink.sh, which writes the Linux
# bundle's packer again, byte for byte.
mkdir relinking && tar -xzf "first/$relink.tar.gz" -C relinking
held=$(cd "relinking/$relink" && find . -type f ! -path './obj/*.cpp.o' | LC_ALL=C sort | tr '\n' ' ')
[ "$held" = "./libcrypto.a ./libz.a ./relink.sh " ] || fail "the relink archive holds $held"
(cd relinking && "./$relink/relink.sh" -o relinked >relink.log 2>&1) ||
    fail "relink.sh: $(tail -n 1 relinking/relink.log)"
cmp -s relinking/relinked "linux-user/$linux/pack-stub" || fail "relink.sh wrote another pack-stub"

# The man page shows every option --help names, and the date of SOURCE_DATE_EPOCH.
page=$(LC_ALL=C MANWIDTH=400 man -l "linux-user/$linux/pack-stub.1" 2>&1)
grep -q 'September 2001' <<<"$page" || fail "the man page is not dated from SOURCE_DATE_EPOCH"
options=$("linux-user/$linux/pack-stub" --help | grep -oE -- '(^|[[ ])--?[a-z][a-z0-9-]*' |
    sed 's/^[[ ]//' | sort -u)
# A --help whose options the pattern no longer finds would leave nothing to compare.
for known in -o --archive --setup --check; do
    grep -qx -- "$known" <<<"$options" || fail "--help names no $known (of: $(echo $options))"
done
for option in $options; do
    grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" <<<"$page" || fail "the man page lacks $option"
done

# Signed afterwards, as the README shows: the signature verifies, and the payload is still found.
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt -days 2 \
    -subj "/CN=release test signer" >/dev/null 2>&1 || fail "openssl: no certificate"
"$osslsigncode" sign -certs signer.crt -key signer.key -h sha256 -in packed/linux.exe \
    -out signed/setup.exe >sign.log 2>&1 || fail "osslsigncode sign: $(tail -n 1 sign.log)"
"$osslsigncode" verify -CAfile signer.crt -in signed/setup.exe >verify.log 2>&1 ||
    fail "the signature does not verify: $(grep -m1 -i 'fail\|error' verify.log)"
cp packed/windows.exe unsigned/setup.exe

# Each stub runs from a folder of its own, and its setup program gets the caller's arguments too.
for folder in signed unsigned; do
    rm -f record
    ONDREL_FIXTURE_RECORD=$(windows_path "$scratch/record") \
        check_stub_run "$folder stub" "$folder/setup.exe" product.7z --custom "two words"
    work=$(windows_path "$scratch/$folder")'\QV_.tmp'
    received=$(iconv -f UTF-16LE -t UTF-8 record 2>/dev/null |
        sed -E 's/QV_[0-9A-Fa-f]{5}\.tmp/QV_.tmp/g')
    expected="\"$work\\setup.exe\" --install-archive=\"$work\\ONDREL.PACKED.7Z\""
    expected+=' --custom "two words"'
    [ "$received" = "$expected" ] || fail "$folder stub: the setup program received $received"
done

finish
