#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Makes the release archives: dist/ondrel-stub-VERSION-linux-x86_64.tar.gz and
# dist/ondrel-stub-VERSION-windows-x64.zip, each holding the bare stub, the packer for that
# platform, the CMake package that packs from a product's build, the licence, the reference, a README on the setup program, packing and signing, the
# notices of the libraries linked in (read from the link maps) and SHA256SUMS of its files, the
# Linux one also the packer's man page; dist/ondrel-stub-VERSION-linux-x86_64-relink.tar.gz, what
# relinks the static Linux packer with another C library; dist/ondrel-stub-VERSION-windows-tests.zip,
# the Windows-side test programs with their runner, list of runs and test data, which run on a
# Windows machine from one .cmd; and dist/SHA256SUMS of the four. The same sources give
# byte-identical archives.
#   scripts/release.sh [--build-dir DIR] [--dist DIR] [--notices FILE] [--test-kit-only]
#     --build-dir DIR    take the stub, packers and tests from this build tree, already built
#                        (default: build it with the default preset, into build/)
#     --dist DIR         where the archives go (default: dist/)
#     --notices FILE     the notice of each library (default: scripts/release-notices.txt)
#     --test-kit-only    make the test kit alone, and no SHA256SUMS
#   SOURCE_DATE_EPOCH    the time of every file in the archives and the man page's date (default:
#                        the last commit's)
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build=""
dist=$repo/dist
notices=$repo/scripts/release-notices.txt
kit_only=""
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build=$2 && shift 2 ;;
    --dist) dist=$2 && shift 2 ;;
    --notices) notices=$(realpath -- "$2") && shift 2 ;;
    --test-kit-only) kit_only=1 && shift ;;
    *)
        echo "usage: scripts/release.sh [--build-dir DIR] [--dist DIR] [--notices FILE]" \
            "[--test-kit-only]" >&2
        exit 2
        ;;
    esac
done
dist=$(realpath -m -- "$dist")
started=$(date +%s.%N)
if [ -z "$build" ]; then
    build=$repo/build
    # All of it: the test kit takes every Windows-side test program and its data.
    (cd "$repo" && cmake --preset default >/dev/null && cmake --build --preset default)
fi
build=$(realpath -- "$build")
version=$(head -n 1 "$repo/VERSION")
# help2man dates the man page from it too.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$repo" log -1 --format=%ct)}
epoch=$SOURCE_DATE_EPOCH
if [ "$("$build/bin/pack-stub" --version)" != "pack-stub $version" ]; then
    echo "release.sh: $build was built before VERSION became $version: build it again" >&2
    exit 1
fi
linux=ondrel-stub-$version-linux-x86_64
windows=ondrel-stub-$version-windows-x64
relink=$linux-relink
tests=ondrel-stub-$version-windows-tests
stub_map=$build/src/ondrel-stub.exe.map
linux_map=$build/host-packer/pack-stub.map
windows_map=$build/pack-stub-windows.map
# Each map must come from the link that wrote the program beside it.
for pair in "ondrel-stub.exe $stub_map" "pack-stub $linux_map" "windows/pack-stub.exe $windows_map"; do
    if [ ! -f "${pair#* }" ] || [ "$build/bin/${pair%% *}" -nt "${pair#* }" ]; then
        echo "release.sh: no link map ${pair#* } of bin/${pair%% *}: build $build again" >&2
        exit 1
    fi
done

stage=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-release.XXXXXX")
trap 'rm -rf -- "$stage"' EXIT
umask 022
source "$repo/scripts/release-notices.sh"
# An "&" in the text put in by ${name//pattern/text} stays an "&" (bash 5.2 reads it as the match).
shopt -u patsub_replacement 2>/dev/null || true

# bundle_doc FILE: a page of docs/ as a bundle has it. The repository's page is the one source:
# what speaks of the repository (from a line "<!-- repository -->" to a line "<!-- end -->") is
# left out, what speaks of the release (from a line "<!-- release" to a line "-->") shown, and
# tools/pack-stub is the bundle's pack-stub.
bundle_doc() {
    awk '
        $0 == "<!-- repository -->" { skip = 1; next }
        skip && $0 == "<!-- end -->" { skip = 0; next }
        $0 == "<!-- release" { shown = 1; next }
        shown && $0 == "-->" { shown = 0; next }
        !skip' "$1" | sed -e 's|tools/pack-stub|pack-stub|g' -e "s/@VERSION@/$version/g"
}

# bundle NAME PACKER MAP: the folder NAME with the stub, the packer PACKER (its link map MAP), the
# documents, and the notices of the libraries linked into the two.
bundle() {
    local name=$1 packer=$2
    mkdir -p "$stage/$name"
    cd "$stage/$name"
    install -m 0755 "$build/bin/ondrel-stub.exe" ondrel-stub.exe
    install -m 0755 "$packer" .
    install -m 0644 "$repo/LICENSE" LICENSE
    bundle_doc "$repo/docs/reference.md" >reference.md
    bundle_doc "$repo/docs/release-README.md" >README.md
    write_notices "$notices" "$build" ondrel-stub.exe "$stub_map" "${packer##*/}" "$3" || exit 1
    cmake_package
    if [ "$name" = "$linux" ]; then
        help2man --no-info --name="packs the Ondrel installer stub with a product" \
            --output=pack-stub.1 ./pack-stub
    fi
    checksums
    cd "$stage"
}

# cmake_package: lib/cmake/OndrelStub/, where find_package(OndrelStub) finds the bundle from a
# CMAKE_PREFIX_PATH that names it; the same files in both bundles, which find the packer beside
# them.
cmake_package() {
    local file
    mkdir -p lib/cmake/OndrelStub
    for file in Config Functions Steps CPack CPackage; do
        install -m 0644 "$repo/cmake/package/OndrelStub$file.cmake" lib/cmake/OndrelStub/
    done
    sed "s/@VERSION@/$version/" "$repo/cmake/package/OndrelStubConfigVersion.cmake.in" \
        >lib/cmake/OndrelStub/OndrelStubConfigVersion.cmake
}

# checksums: SHA256SUMS of every file in the current folder, and every file dated SOURCE_DATE_EPOCH.
checksums() {
    find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum -- >"$stage/sums"
    mv "$stage/sums" SHA256SUMS
    find . -exec touch -h -d "@$epoch" {} +
}

# relink_folder: the folder $relink with the Linux packer's own objects, libz.a, libcrypto.a and
# relink.sh, which links them with the machine's g++-12 and static glibc as the build linked
# pack-stub (its link command, read here). The C++ runtime is the user's own g++'s, not shipped.
relink_folder() {
    local host=$build/host-packer word words link=() archives="" template
    mkdir -p "$stage/$relink/obj"
    read -ra words <"$host/CMakeFiles/pack-stub.dir/link.txt"
    for word in "${words[@]:1}"; do
        word=${word//\"/}
        case $word in
        "$build/bin/pack-stub") link+=('"$out"') ;;
        -Wl,-Map=*) ;; # the build's own map
        *.o) install -m 0644 "$host/$word" "$stage/$relink/obj/" && link+=("\"\$here/obj/${word##*/}\"") ;;
        */libz.a | */libcrypto.a)
            install -m 0644 "$word" "$stage/$relink/" && link+=("\"\$here/${word##*/}\"")
            ;;
        /*.a)
            echo "release.sh: pack-stub links $word, which the relink archive would lack" >&2
            exit 1
            ;;
        *.a)
            (cd "$stage/$relink/obj" && ar x "$host/$word")
            archives+="(cd \"\$here/obj\" && ar qcD \"\$work/$word\" $(ar t "$host/$word" | tr '\n' ' '))"$'\n'
            link+=("\"\$work/$word\"")
            ;;
        *) link+=("$word") ;;
        esac
    done
    template=$(<"$repo/scripts/relink-template.sh")
    template=${template//@VERSION@/$version}
    template=${template//@TOOLCHAIN@/$(dpkg-query -W -f='#   ${Package} ${Version}\n' binutils \
        gcc-12 g++-12 libstdc++-12-dev libgcc-12-dev libc6-dev)}
    template=${template//@ARCHIVES@/${archives%$'\n'}}
    printf '%s\n' "${template//@LINK@/${link[*]}}" >"$stage/$relink/relink.sh"
    chmod 0755 "$stage/$relink/relink.sh"
}

# test_kit: the folder $tests: the runner, run-tests.cmd that starts it, the list of runs read
# from the build's own test definitions, and under bin/ every program the list names with what
# the tests read beside themselves (they find it from their own folder, as in the build tree).
test_kit() {
    local program folder
    mkdir -p "$stage/$tests/bin"
    cd "$stage/$tests"
    python3 "$repo/scripts/test-kit-runs.py" "$build" "$repo" >runs.txt
    install -m 0755 "$build/bin/ondrel-test-kit.exe" .
    printf '@"%%~dp0ondrel-test-kit.exe" %%*\r\n' >run-tests.cmd
    install -m 0644 "$repo/LICENSE" LICENSE
    bundle_doc "$repo/docs/release-README.md" >README.md
    bundle_doc "$repo/docs/reference.md" >reference.md
    for program in $(sed -n 's/^program bin\\//p' runs.txt | LC_ALL=C sort -u); do
        install -m 0755 "$build/bin/$program" bin/
    done
    # The bare stub, the setup fixture, the planted library and the Windows packer; packed stubs
    # and test data.
    install -m 0755 "$build/bin/ondrel-stub.exe" "$build/bin/setup-fixture.exe" \
        "$build/bin/planted-library.dll" bin/
    for folder in windows e2e fixtures test-data stub-resources demo; do
        cp -R -- "$build/bin/$folder" bin/
    done
    checksums
    cd "$stage"
}

if [ -z "$kit_only" ]; then
    bundle "$linux" "$build/bin/pack-stub" "$linux_map"
    bundle "$windows" "$build/bin/windows/pack-stub.exe" "$windows_map"
    relink_folder
fi
test_kit

# tar_gz FOLDER: FOLDER.tar.gz, the same bytes from the same files.
tar_gz() {
    tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$epoch" "$1" | gzip -n -9 >"$stage/$1.tar.gz"
}
# zip FOLDER: FOLDER.zip with no extra fields (-X: no Unix owners or times beyond the DOS time,
# which is local time: UTC here), no folder entries, names sorted.
zip_folder() {
    find "$1" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D -9 "$stage/$1.zip" -@
}
mkdir -p "$dist"
if [ -n "$kit_only" ]; then
    archives=("$tests.zip")
else
    archives=("$linux.tar.gz" "$windows.zip" "$relink.tar.gz" "$tests.zip")
    rm -f -- "$dist/SHA256SUMS"
    tar_gz "$linux"
    tar_gz "$relink"
    zip_folder "$windows"
fi
for archive in "${archives[@]}"; do rm -f -- "$dist/$archive"; done
zip_folder "$tests"
for archive in "${archives[@]}"; do mv -- "$stage/$archive" "$dist/"; done
[ -n "$kit_only" ] || (cd "$dist" && sha256sum -- "${archives[@]}" >SHA256SUMS)

for archive in "${archives[@]}"; do
    printf '%s: %s bytes\n' "$dist/$archive" "$(stat -c %s "$dist/$archive")"
done
awk -v version="$version" -v from="$started" -v to="$(date +%s.%N)" \
    'BEGIN { printf "release %s made in %.1f s\n", version, to - from }'
