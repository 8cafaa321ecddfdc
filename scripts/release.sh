#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Makes the release archives: dist/ondrel-stub-VERSION-linux-x86_64.tar.gz and
# dist/ondrel-stub-VERSION-windows-x64.zip, each holding the bare stub, the packer for that
# platform, the licence, the reference, a README on the setup program, packing and signing, the
# notices of the libraries linked in (read from the link maps) and SHA256SUMS of its files, the
# Linux one also the packer's man page; dist/ondrel-stub-VERSION-linux-x86_64-relink.tar.gz, what
# relinks the static Linux packer with another C library; and dist/SHA256SUMS of the three. The
# same sources give byte-identical archives.
#   scripts/release.sh [--build-dir DIR] [--dist DIR] [--notices FILE]
#     --build-dir DIR    take the stub and packers from this build tree, already built (default:
#                        build what they need with the default preset, into build/)
#     --dist DIR         where the archives go (default: dist/)
#     --notices FILE     the notice of each library (default: scripts/release-notices.txt)
#   SOURCE_DATE_EPOCH    the time of every file in the archives and the man page's date (default:
#                        the last commit's)
set -euo pipefail
repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
build=""
dist=$repo/dist
notices=$repo/scripts/release-notices.txt
while [ $# -gt 0 ]; do
    case $1 in
    --build-dir) build=$2 && shift 2 ;;
    --dist) dist=$2 && shift 2 ;;
    --notices) notices=$(realpath -- "$2") && shift 2 ;;
    *)
        echo "usage: scripts/release.sh [--build-dir DIR] [--dist DIR] [--notices FILE]" >&2
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
    if [ "$name" = "$linux" ]; then
        help2man --no-info --name="packs the Ondrel installer stub with a product" \
            --output=pack-stub.1 ./pack-stub
    fi
    checksums
    cd "$stage"
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

bundle "$linux" "$build/bin/pack-stub" "$linux_map"
bundle "$windows" "$build/bin/windows/pack-stub.exe" "$windows_map"
relink_folder

# tar_gz FOLDER: FOLDER.tar.gz, the same bytes from the same files.
tar_gz() {
    tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$epoch" "$1" | gzip -n -9 >"$stage/$1.tar.gz"
}
mkdir -p "$dist"
archives=("$linux.tar.gz" "$windows.zip" "$relink.tar.gz")
for archive in "${archives[@]}" SHA256SUMS; do rm -f -- "$dist/$archive"; done
tar_gz "$linux"
tar_gz "$relink"
# No extra fields (-X: no Unix owners or times beyond the DOS time, which is local time: UTC
# here), no folder entries, names sorted.
find "$windows" -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D -9 "$stage/$windows.zip" -@
for archive in "${archives[@]}"; do mv -- "$stage/$archive" "$dist/"; done
(cd "$dist" && sha256sum -- "${archives[@]}" >SHA256SUMS)

for archive in "${archives[@]}"; do
    printf '%s: %s bytes\n' "$dist/$archive" "$(stat -c %s "$dist/$archive")"
done
awk -v version="$version" -v from="$started" -v to="$(date +%s.%N)" \
    'BEGIN { printf "release %s made in %.1f s\n", version, to - from }'
