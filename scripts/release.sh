#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Makes the release archives: dist/ondrel-stub-VERSION-linux-x86_64.tar.gz and
# dist/ondrel-stub-VERSION-windows-x64.zip, each holding the bare stub, the packer for that
# platform, the reference, a README on packing and signing, the licence notices of the libraries
# linked in, and SHA256SUMS of its files; dist/SHA256SUMS lists the archives. The same sources give
# byte-identical archives.
#   scripts/release.sh [--build-dir DIR] [--dist DIR]
#     --build-dir DIR    take the stub and packers from this build tree, already built (default:
#                        build what they need with the default preset, into build/)
#     --dist DIR         where the archives go (default: dist/)
#   SOURCE_DATE_EPOCH    the time of every file in the archives (default: the last commit's)
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build=""
dist=$repo/dist
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build=$2 && shift 2 ;;
    --dist) dist=$2 && shift 2 ;;
    *)
        echo "usage: scripts/release.sh [--build-dir DIR] [--dist DIR]" >&2
        exit 2
        ;;
    esac
done
dist=$(realpath -m -- "$dist")
started=$(date +%s.%N)
if [ -z "$build" ]; then
    build=$repo/build
    (cd "$repo" && cmake --preset default >/dev/null &&
        cmake --build --preset default --target ondrel_stub host_packer pack_stub_windows)
fi
build=$(realpath -- "$build")
version=$(head -n 1 "$repo/VERSION")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
if [ "$("$build/bin/pack-stub" --version)" != "pack-stub $version" ]; then
    echo "release.sh: $build was built before VERSION became $version: build it again" >&2
    exit 1
fi
linux=ondrel-stub-$version-linux-x86_64
windows=ondrel-stub-$version-windows-x64

stage=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-release.XXXXXX")
trap 'rm -rf -- "$stage"' EXIT
umask 022

# notice FILE NAME: the Debian copyright file of the package that installed the library FILE,
# as licenses/NAME; that file carries the licence texts of what the package holds.
notice() {
    local package
    package=$(dpkg -S "$(readlink -f "$1")" | cut -d: -f1)
    install -m 0644 "/usr/share/doc/$package/copyright" "licenses/$2.txt"
}

# bundle NAME PACKER CXX NOTICES...: the folder NAME with the packer built by the compiler CXX,
# and the notices of the libraries (FILE NAME pairs, FILE as that compiler finds it) linked into it.
bundle() {
    local name=$1 packer=$2 cxx=$3
    shift 3
    mkdir -p "$stage/$name/licenses"
    cd "$stage/$name"
    install -m 0755 "$build/bin/ondrel-stub.exe" ondrel-stub.exe
    install -m 0755 "$packer" .
    install -m 0644 "$repo/docs/reference.md" reference.md
    sed "s/@VERSION@/$version/g" "$repo/docs/release-README.md" >README.md
    while [ $# -gt 0 ]; do
        notice "$("$cxx" -print-file-name="$1")" "$2"
        shift 2
    done
    find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum -- >"$stage/$name.sums"
    mv "$stage/$name.sums" SHA256SUMS
    find . -exec touch -h -d "@$epoch" {} +
    cd "$stage"
}
# libgcc is in the stub as well as in the packer; the Linux packer also holds the C library.
bundle "$linux" "$build/bin/pack-stub" c++ \
    libstdc++.a libstdc++-and-libgcc libc.a glibc libz.a zlib
bundle "$windows" "$build/bin/windows/pack-stub.exe" x86_64-w64-mingw32-g++-posix \
    libstdc++.a libstdc++-and-libgcc libwinpthread.a winpthreads-and-mingw-w64-runtime libz.a zlib

mkdir -p "$dist"
rm -f "$dist/$linux.tar.gz" "$dist/$windows.zip" "$dist/SHA256SUMS"
tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="@$epoch" "$linux" | gzip -n -9 >"$stage/$linux.tar.gz"
# No extra fields (-X: no Unix owners or times beyond the DOS time, which is local time: UTC
# here), no folder entries, names sorted.
find "$windows" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D -9 "$stage/$windows.zip" -@
mv "$stage/$linux.tar.gz" "$stage/$windows.zip" "$dist/"
(cd "$dist" && sha256sum -- "$linux.tar.gz" "$windows.zip" >SHA256SUMS)

for archive in "$linux.tar.gz" "$windows.zip"; do
    printf '%s: %s bytes\n' "$dist/$archive" "$(stat -c %s "$dist/$archive")"
done
awk -v version="$version" -v from="$started" -v to="$(date +%s.%N)" \
    'BEGIN { printf "release %s made in %.1f s\n", version, to - from }'
