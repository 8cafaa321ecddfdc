#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Installs the Debian packages the project builds and tests with, only those that are missing.
# This list is the one place where the project's system packages are named.
#   scripts/install-deps.sh [--bench]   (--bench: also what only the benchmarks use)
set -euo pipefail

packages=(
    g++-mingw-w64-x86-64-posix # cross compiler, POSIX thread model
    mingw-w64-tools            # widl and friends that come with the toolchain
    wine                       # runs the Windows programs
    wine64
    cmake
    googletest                 # sources, cross-built in the build tree
    libgtest-dev               # the same, built for the host: the packer's own tests
    zlib1g-dev                 # the packer's MSZIP cabinets
    libssl-dev                 # libcrypto, static: --check verifies signatures with it
    libz-mingw-w64-dev         # the same zlib, static, for the packer built for Windows
    gcab                       # test cabinets made by another writer than the packer's
    cabextract                 # an independent reader of the packer's cabinets
    7zip                       # archive creation, and another reader of cabinets (7zz)
    p7zip-full                 # 7z, the older 7-Zip the cabinet tests also read with
    zip                        # the Windows release archive
    unzip                      # the test kit, unpacked as a user unpacks it
    python3                    # the test kit's list of runs, read from ctest; its report checked
    osslsigncode               # Authenticode signing of packed stubs
    openssl                    # reads signing certificates; tests make throwaway ones
    softhsm2                   # a real PKCS #11 token for the signing tests (brings libsofthsm2)
    opensc                     # pkcs11-tool: makes the tests' key in that token
    libengine-pkcs11-openssl   # OpenSSL's PKCS #11 engine: osslsigncode's way to a token's key
    python3                    # the signing tests' time-stamp authority on 127.0.0.1
    clang-format
    clang                      # the packer's fuzzing and sanitizer builds (tools/packer presets)
    libclang-rt-14-dev         # their libFuzzer and sanitizer runtimes, which clang only recommends
    libmspack-dev              # decodes what the packer writes, in the fuzz targets (never shipped)
    procps                     # pgrep: tests interrupt the Windows packer, a child under Wine
    help2man                   # the Linux packer's man page, made from its --help by the release
    man-db                     # man -l: the release test reads that page as a user would
    python3-pefile             # an independent reader of packed stubs, for their read-back test
    icoutils                   # wrestool: the icon group and images of a packed stub, read apart
)
# Only for the benchmarks and their figures; builds and tests never need them.
bench_packages=(
    nsis         # makensis, for bench/against-nsis.sh
    time         # /usr/bin/time: peak memory, for bench/pack-stub.sh
    wimtools     # wimlib-imagex: the LZX anchor of bench/lzx-corpus.sh
    xz-utils     # xz -9e, another anchor of bench/lzx-corpus.sh
    gnuplot-nox  # bench/plot.sh draws the figures as SVG
    librsvg2-bin # rsvg-convert: bench/plot.sh --png, to look at the figures where SVG will not show
)
case ${1:-} in
'') ;;
--bench) packages+=("${bench_packages[@]}") ;;
*)
    echo "usage: scripts/install-deps.sh [--bench]" >&2
    exit 2
    ;;
esac

# Debian 12's own osslsigncode (the bookworm release's, whichever update it is at), unpacked beside
# whatever newer one is installed: the release test signs a packed stub afterwards with the one
# release engineers on Debian 12 have.
debian12_osslsigncode_dir=/opt/ondrel/osslsigncode-bookworm

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ -x "$debian12_osslsigncode_dir/usr/bin/osslsigncode" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ ! -x "$debian12_osslsigncode_dir/usr/bin/osslsigncode" ]; then
    echo "Unpacking Debian 12's osslsigncode into $debian12_osslsigncode_dir"
    download=$(mktemp -d)
    chmod 755 "$download" # apt's download user writes there
    (cd "$download" && apt-get download -q osslsigncode/bookworm)
    $sudo mkdir -p "$debian12_osslsigncode_dir"
    $sudo dpkg-deb -x "$download"/osslsigncode_*.deb "$debian12_osslsigncode_dir"
    rm -rf -- "$download"
fi
