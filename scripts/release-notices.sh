# SPDX-License-Identifier: Zlib
# Sourced by scripts/release.sh: the licence notices of one bundle, read from the link maps of the
# programs it holds. Every library file a link took comes from a Debian package; its notice gives
# the package's version as installed here, where its corresponding source is published, and its
# copyright record with every licence text the record points to copied in, in full.
#   write_notices TABLE BUILD BINARY MAP [BINARY MAP]...    (run in the bundle's folder)

# link_inputs MAP: "FILE<TAB>MEMBERS" for each file from outside the build that the link took: the
# archives of the "Archive member included" section with how many members each gave, and the
# object files it loaded. The build names its own files relative to its folder; the link-time
# optimiser's parts of them (the packer's *.ltrans.o, in a temporary folder) are its own too.
link_inputs() {
    awk '
        /^Archive member included/ { section = 1; next }
        /^(Discarded input sections|Allocating common symbols|Memory Configuration)/ { section = 0 }
        section && match($0, /^\/[^ \t(]+\.a\(/) { taken[substr($0, 1, RLENGTH - 1)]++ }
        $1 == "LOAD" && $2 ~ /^\// && $2 !~ /\.a$/ && $2 !~ /\.ltrans\.o$/ { taken[$2] = 1 }
        END { for (file in taken) printf "%s\t%d\n", file, taken[file] }
    ' "$1" | LC_ALL=C sort
}

# inventory BUILD BINARY MAP: a line for each library file in BINARY: the program, the file's
# name, its members, the Debian package it came from with its version, source package, source
# version and the sources it was built with (Built-Using).
inventory() {
    local file members real package
    while IFS=$'\t' read -r file members; do
        real=$(realpath -- "$file")
        [[ $real == "$1"/* ]] && continue
        package=$(dpkg -S "$real" 2>/dev/null | sed -n '1s/[:,].*//p')
        if [ -z "$package" ]; then
            echo "release.sh: $2 links $real, which no Debian package installed" >&2
            return 1
        fi
        printf '%s\t%s\t%s\t%s\t%s\n' "$2" "${real##*/}" "$members" "$package" "$(dpkg-query -W \
            -f='${Version}\t${source:Package}\t${source:Version}\t${Built-Using}' "$package")"
    done < <(link_inputs "$3")
}

# notice_row TABLE SOURCE: "NOTICE|WHAT|LICENCE", the table's row for a Debian source package.
notice_row() {
    awk -F' *[|] *' -v source="$2" '
        $1 == source { print $2 "|" $3 "|" $4; found = 1 } END { exit !found }' "$1"
}

# snapshot SOURCE VERSION: where Debian keeps that source package for good.
snapshot() { printf 'https://snapshot.debian.org/package/%s/%s/' "$1" "$2"; }

# licence_texts COPYRIGHT: the names of the common licences a copyright record points to, as
# files of /usr/share/common-licenses (GPL there is GPL-3).
licence_texts() {
    grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9+]' "$1" |
        while read -r path; do basename -- "$(realpath -- "$path")"; done
}

# copied_record PACKAGE: its copyright record, each pointer to a common licence turned into a
# pointer to the copy of that text in this notice.
copied_record() {
    printf '\n===== The copyright record of the Debian package %s =====\n\n' "$1"
    perl -pe 's{/usr/share/common-licenses/([\w.+-]*[\w+])}{"the text \"" .
        (readlink("/usr/share/common-licenses/$1") // $1) . "\" below"}ge' \
        "/usr/share/doc/$1/copyright"
}

# notice INVENTORY SOURCE WHAT LICENCE: the text of the notice of one source package.
notice() {
    local packages package name version
    printf '%s, in the programs of this folder\n\nLicence: %s\n\n' "$3" "$4"
    echo "What each program took of it, read from its link map, and the Debian 12 package each file"
    echo "came from, at the version installed where this release was made:"
    awk -F'\t' -v source="$2" '$6 == source {
        printf "  %s: %s%s, from %s %s\n", $1, $2, $2 ~ /\.a$/ ? " (" $3 " members)" : "", $4, $5 }' "$1"
    version=$(awk -F'\t' -v source="$2" '$6 == source { print $7; exit }' "$1")
    printf '\nCorresponding source: the Debian source package %s %s,\n  %s\n' \
        "$2" "$version" "$(snapshot "$2" "$version")"
    awk -F'\t' -v source="$2" '$6 == source && $8 != "" { print $8 }' "$1" | sort -u |
        sed -E 's/^([^ ]+) \(= ([^)]+)\)$/\1 \2/' | while read -r name version; do
            printf 'built with the source package %s %s,\n  %s\n' "$name" "$version" \
                "$(snapshot "$name" "$version")"
        done
    packages=$(awk -F'\t' -v source="$2" '$6 == source { print $4 }' "$1" | LC_ALL=C sort -u)
    echo
    echo "The copyright record of each package follows as Debian ships it (its first lines may name an"
    echo "older version than the one above, which is the version linked), then every licence text it"
    echo "refers to, in full."
    # Packages of one source often share one record: each different record once.
    for package in $(for package in $packages; do
        echo "$(sha256sum <"/usr/share/doc/$package/copyright" | cut -c1-64) $package"
    done | sort -u -k1,1 | cut -d' ' -f2); do
        copied_record "$package"
    done
    for name in $(for package in $packages; do
        licence_texts "/usr/share/doc/$package/copyright"
    done | LC_ALL=C sort -u); do
        printf '\n===== %s =====\n\n' "$name"
        cat "/usr/share/common-licenses/$name"
    done
}

# notice_index INVENTORY TABLE BINARY...: licenses/README.md, the libraries in each program.
notice_index() {
    local inventory=$1 table=$2 binary file members package version source name licence
    shift 2
    echo "# The libraries in these programs"
    echo
    echo "Read from each program's link map when this release was made: every file the link took"
    echo "from outside Ondrel's own code, the Debian 12 package it came from and that package's"
    echo "version on the machine that made the release. Ondrel's own code is under the zlib licence"
    echo "(\`LICENSE\`). Each notice here holds the library's licence texts in full and names where"
    echo "its corresponding source is published."
    for binary in "$@"; do
        printf '\n## %s\n\n' "$binary"
        if ! cut -f1 "$inventory" | grep -qxF "$binary"; then
            echo "Ondrel's own code only: the link took no file from another project."
            continue
        fi
        echo "| File | Members | Debian package | Licence | Notice |"
        echo "| --- | --- | --- | --- | --- |"
        while IFS=$'\t' read -r _ file members package version source _; do
            IFS='|' read -r name _ licence <<<"$(notice_row "$table" "$source")"
            [[ $file == *.a ]] || members="object file"
            printf '| %s | %s | %s %s | %s | `%s.txt` |\n' "$file" "$members" "$package" \
                "$version" "$licence" "$name"
        done < <(awk -F'\t' -v binary="$binary" '$1 == binary' "$inventory")
    done
}

# write_notices TABLE BUILD BINARY MAP [BINARY MAP]...: licenses/README.md and a notice for each
# library in the programs; fails, naming them, when a library has no row in TABLE.
write_notices() {
    local table=$1 build=$2 list=licenses/.inventory missing source name what licence binaries=()
    shift 2
    mkdir -p licenses
    : >"$list"
    while [ $# -gt 0 ]; do
        inventory "$build" "$1" "$2" >>"$list" || return 1
        binaries+=("$1")
        shift 2
    done
    missing=$(awk -F' *[|] *' 'FNR == NR { known[$1] = 1; next }
        !($6 in known) { printf " %s (%s, from %s)", $6, $2, $1 }' "$table" FS='\t' "$list")
    if [ -n "$missing" ]; then
        echo "release.sh: no notice in $table for:$missing" >&2
        return 1
    fi
    for source in $(cut -f6 "$list" | LC_ALL=C sort -u); do
        IFS='|' read -r name what licence <<<"$(notice_row "$table" "$source")"
        notice "$list" "$source" "$what" "$licence" >"licenses/$name.txt" || return 1
    done
    notice_index "$list" "$table" "${binaries[@]}" >licenses/README.md
    rm -f -- "$list"
}
