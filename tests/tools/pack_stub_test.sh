#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Runs the packer natively against the configured build: bad input and layouts the stub would
# refuse are refused in one line and leave nothing behind, --check says what the stub would do,
# the packed image is laid out by the PE rules as objdump reads it, the same inputs give the same
# bytes, and packing needs no MinGW tool. Signed stubs are pack_stub_signing_test.sh's; how the
# platform reads packed stubs is stub_resources_test's.
#   pack_stub_test.sh PACK_STUB BARE_STUB SETUP_PROGRAM [WINE_RUN PREFIX]
#   (PACK_STUB_BUILD_DIR names the build). With WINE_RUN, PACK_STUB is the packer for Windows,
#   run under Wine: the same table, plus Windows path forms, the bytes the Linux packer gives for
#   the same inputs, and a packed stub run.
set -uo pipefail
pack=$1
bare=$2
program=$3
platform=linux
[ $# -le 3 ] || platform=windows
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=$(head -n 1 "$repo/VERSION")

source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" pack-stub-test
[ "$platform" = linux ] || use_wine_run "${@:4}"

# only PLATFORM REASON: true when the packer under test is for PLATFORM; else says why the check
# that follows is skipped.
only() {
    [ "$1" = "$platform" ] && return 0
    echo "SKIP on $platform: $2"
    return 1
}
# A Unix path as Windows names it (windows_path) with its \\?\ prefix.
verbatim_path() { printf '\\\\?\\%s' "$(windows_path "$1")"; }

{ printf '7z\xbc\xaf\x27\x1c' && head -c 5001 /dev/urandom; } >archive.7z
cp -- "$program" setup.exe
head -c 3001 /dev/urandom >not-a-program.exe
: >empty
mkdir a-directory cabinet-files
for f in one two; do head -c 100 /dev/urandom >cabinet-files/$f; done
(cd cabinet-files && gcab -c -z ../good.cab one && gcab -c -z ../two-files.cab one two) ||
    fail "gcab could not make test cabinets"
{ cat -- "$bare" && printf 'x'; } >bare-plus-data.exe
# A certificate table's offset with no size: the security directory's entry, the fifth of the
# optional header's, 24 + 112 + 4 * 8 bytes after the PE signature's offset.
cp -- "$bare" empty-certificate-table.exe
printf '\x00\x00\x00\x05' | dd of=empty-certificate-table.exe conv=notrunc status=none bs=1 \
    seek=$(($(od -An -tu4 -j60 -N4 "$bare") + 24 + 112 + 32))
head -c 1000 -- "$bare" >truncated.exe
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt -days 2 \
    -subj "/CN=pack-stub test signer" >/dev/null 2>&1 || fail "openssl could not make a certificate"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.key >/dev/null 2>&1 ||
    fail "openssl could not make a key"
osslsigncode sign -certs signer.crt -key signer.key -in "$bare" -out signed-bare.exe >/dev/null ||
    fail "osslsigncode could not sign the bare stub"
mkdir minimal-path && ln -s "$(command -v bash)" "$(command -v dirname)" minimal-path/
if [ "$platform" = windows ]; then
    # No osslsigncode for Windows is at hand: Debian's own on PATH lets the rows run that stop
    # before it would be started.
    mkdir signer-bin && ln -s "$(command -v osslsigncode)" signer-bin/osslsigncode.exe
    WINEPATH=$(windows_path "$scratch/signer-bin") && export WINEPATH
fi
truncate -s 4G four-gib && truncate -s 2100M half-a && truncate -s 2100M half-b
truncate -s 2147450881 over-one-folder.exe && truncate -s 1G shrinking.exe
long_name=$(head -c 65536 /dev/zero | tr '\0' A)
for kind in good cursor empty truncated beyond not-an-image; do
    python3 "$repo/tests/tools/make-test-icon.py" "$kind.ico" "$kind" || fail "no $kind.ico"
done
assembly='<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' "$assembly" \
    '<!-- the product'"'"'s own --><trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>' \
    '<requestedPrivileges><requestedExecutionLevel level="highestAvailable"/>' \
    '</requestedPrivileges></security></trustInfo></assembly>' >good.manifest
printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v3"/>' >other-namespace.manifest
printf '<?xml version="1.0"?>\n<html xmlns="urn:schemas-microsoft-com:asm.v1"/>' \
    >other-root.manifest
printf '%s\n' '<!DOCTYPE assembly [<!ENTITY x "y">]>' "$assembly</assembly>" >dtd.manifest
printf '%s\n' "$assembly<description>&x;</description></assembly>" >entity.manifest
printf '%s\n' "$assembly<dependency></assembly>" >unclosed.manifest
printf 'MZ not XML at all' >not-xml.manifest
long_key=$(head -c 256 /dev/zero | tr '\0' K)
payload=(--archive archive.7z --setup setup.exe)
"$pack" -o packed.exe "${payload[@]}" 2>stderr || fail "packing a good payload: $(cat stderr)"

# refused STATUS DESCRIPTION MESSAGE-FRAGMENT ARGUMENTS...: that exit status, one line on stderr
# naming the reason, nothing on stdout and nothing at all in out/.
refused() {
    local status=$1 what=$2 reason=$3
    shift 3
    rm -rf out && mkdir out
    "$pack" "$@" >stdout 2>stderr
    local actual=$?
    # Now and then Wine fails to start a process under load: status 1 and not a word. Once more.
    if [ "$platform" = windows ] && [ "$actual" -eq 1 ] && [ ! -s stderr ]; then
        rm -rf out && mkdir out
        "$pack" "$@" >stdout 2>stderr
        actual=$?
    fi
    [ "$actual" -eq "$status" ] || fail "$what: exit status $actual, not $status: $(cat stderr)"
    [ "$(wc -l <stderr)" -eq 1 ] || fail "$what: stderr is not one line: $(cat stderr)"
    grep -qF -- "$reason" stderr || fail "$what: stderr does not mention '$reason': $(cat stderr)"
    [ ! -s stdout ] || fail "$what: wrote to stdout"
    [ -z "$(ls -A out)" ] || fail "$what: left $(ls -A out)"
}

# Usage errors: status 2.
refused 2 "no -o" "no output given" --archive archive.7z
refused 2 "-o without a value" "-o needs a file name" -o
refused 2 "-o followed by an option" "-o needs a file name" -o --archive archive.7z \
    --setup setup.exe
refused 2 "--archive followed by an option" "--archive needs a file name" -o out/x.exe \
    --archive --setup setup.exe
refused 2 "empty -o" "-o needs a file name" -o ""
refused 2 "-o twice" "-o given twice" -o out/a.exe -o out/b.exe
refused 2 "unknown option" "unknown argument: --bogus" -o out/x.exe --bogus
refused 2 "stray argument" "unknown argument: stray" -o out/x.exe stray
refused 2 "archive given twice" "--archive given twice" -o out/x.exe --archive archive.7z \
    --archive archive.7z
refused 2 "resource short of values" "--resource needs TYPE NAME FILE" -o out/x.exe \
    --resource B7 NAME
refused 2 "resource value that is an option" "--resource needs TYPE NAME FILE" -o out/x.exe \
    --resource B7 --setup setup.exe
refused 2 "setup and setup cabinet" "exclude each other" -o out/x.exe --setup setup.exe \
    --setup-cab good.cab
refused 2 "previous version and rcdata file" "exclude each other" -o out/x.exe \
    --previous-version 1.0 --rcdata-file archive.7z
refused 2 "certificate without key" "--sign-cert and --sign-key go together" -o out/x.exe \
    --sign-cert signer.crt
refused 2 "pass phrase file without signing" "--sign-pass-file goes with --sign-cert" \
    -o out/x.exe "${payload[@]}" --sign-pass-file empty
refused 2 "key in a token without its module" "needs --sign-pkcs11-module PATH" -o out/x.exe \
    "${payload[@]}" --sign-cert signer.crt --sign-key "pkcs11:token=codesign;object=signkey"
refused 2 "module without a key in a token" "--sign-pkcs11-module goes with a pkcs11:" \
    -o out/x.exe "${payload[@]}" --sign-cert signer.crt --sign-key signer.key \
    --sign-pkcs11-module signer.key
refused 2 "time stamp without signing" "--sign-timestamp goes with --sign-cert" -o out/x.exe \
    "${payload[@]}" --sign-timestamp http://127.0.0.1:1/
refused 2 "signing command and a key" "--sign-command signs on its own" -o out/x.exe \
    "${payload[@]}" --sign-command "sign {file}" --sign-cert signer.crt --sign-key signer.key
refused 2 "signing command without its paths" "--sign-command needs {file}" -o out/x.exe \
    "${payload[@]}" --sign-command "sign {in}"
refused 2 "check with other options" "--check takes no other option" --check packed.exe -o out/x
refused 2 "LZX window below 15" "the LZX window is 15 to 21" -o out/x.exe --setup setup.exe \
    --cab-compression lzx:14
refused 2 "LZX window above 21" "the LZX window is 15 to 21" -o out/x.exe --setup setup.exe \
    --cab-compression lzx:22
refused 2 "LZX window of the fast parse above 21" "the LZX window is 15 to 21" -o out/x.exe \
    --setup setup.exe --cab-compression lzx-fast:22
refused 2 "LZX window of the strongest parse below 15" "the LZX window is 15 to 21" -o out/x.exe \
    --setup setup.exe --cab-compression lzx-max:14
refused 2 "unknown compression" "not lzx, lzx-max or lzx-fast (each with :15 to :21)," \
    -o out/x.exe \
    --setup setup.exe --cab-compression zip
refused 2 "compression of a ready cabinet" "applies to --setup only" -o out/x.exe \
    --setup-cab good.cab --cab-compression mszip
# The identity options' rows, for the Linux packer only: the Windows packer runs the same parsers
# on the same bytes, and its run under Wine must stay within its time (each start costs seconds);
# the same-bytes check below packs with these options on both.
if [ "$platform" = linux ]; then
    refused 2 "version of five parts" "at most four parts" -o out/x.exe "${payload[@]}" \
        --file-version 1.2.3.4.5
    refused 2 "manifest and execution level" \
        "--manifest and --execution-level exclude each other" -o out/x.exe "${payload[@]}" \
        --manifest good.manifest --execution-level asInvoker
    refused 2 "version part over 65535" "each part of a version is 0 to 65535" -o out/x.exe \
        "${payload[@]}" --file-version 1.65536
    refused 2 "version with a letter" "--product-version 1.2a: a version is" -o out/x.exe \
        "${payload[@]}" --product-version 1.2a
    refused 2 "version with an empty part" "a version is one to four numbers" -o out/x.exe \
        "${payload[@]}" --file-version 1..2
    refused 2 "version string without =" "--version-info CompanyName: not KEY=VALUE" \
        -o out/x.exe "${payload[@]}" --version-info CompanyName
    refused 2 "version string with an empty key" "the key is empty" -o out/x.exe \
        "${payload[@]}" --version-info =Acme
    refused 2 "version string key of 256 characters" "longer than 255 characters" -o out/x.exe \
        "${payload[@]}" --version-info "$long_key=x"
    refused 2 "version string key twice, in another case" "the key COMPANYNAME is given twice" \
        -o out/x.exe "${payload[@]}" --version-info CompanyName=A --version-info COMPANYNAME=B
    # Also beyond the 32,767 characters of a Windows command line.
    refused 2 "version block over 65535 bytes" "holds at most 65535" -o out/x.exe \
        "${payload[@]}" --version-info "Comments=${long_name:0:33000}"
    refused 2 "execution level not in the list" "--execution-level admin: not asInvoker" \
        -o out/x.exe "${payload[@]}" --execution-level admin
    refused 2 "check with a version string" "--check takes no other option" \
        --check packed.exe --version-info A=B
fi

# Bad input: status 1.
while IFS='|' read -r option file reason; do
    [ "$platform" = linux ] || continue
    refused 1 "$option $file" "$reason" -o out/x.exe "${payload[@]}" "$option" "$file"
    grep -qF -- "$option $file: " stderr || fail "$option $file: not named: $(cat stderr)"
done <<EOF
--icon|cursor.ico|not an icon file (.ico)
--icon|not-xml.manifest|not an icon file (.ico)
--icon|empty.ico|the icon holds no images
--icon|truncated.ico|the icon is truncated
--icon|beyond.ico|image 3 lies beyond the end of the file
--icon|not-an-image.ico|image 1 is neither a bitmap nor a PNG image
--manifest|not-xml.manifest|not a manifest Windows accepts: text before the root element
--manifest|other-root.manifest|the root element is not <assembly
--manifest|other-namespace.manifest|the root element is not <assembly
--manifest|dtd.manifest|a document type (DTD)
--manifest|entity.manifest|an entity reference &x;
--manifest|unclosed.manifest|</assembly> ends <dependency>
--manifest|empty|it has no root element
EOF
if [ "$platform" = linux ]; then
    refused 1 "icon missing" "--icon: no such file" -o out/x.exe "${payload[@]}" \
        --icon missing.ico
    refused 1 "manifest a directory" "--manifest: not a regular file" -o out/x.exe \
        "${payload[@]}" --manifest a-directory
fi
refused 1 "output folder missing" "no such directory" -o out/missing/x.exe "${payload[@]}"
refused 1 "output is a directory" "is a directory" -o out "${payload[@]}"
refused 1 "archive missing" "--archive: no such file" -o out/x.exe --archive missing.7z \
    --setup setup.exe
refused 1 "archive is a directory" "--archive: not a regular file" -o out/x.exe \
    --archive a-directory --setup setup.exe
refused 1 "archive of 4 GiB" "larger than 4 GiB" -o out/x.exe --archive four-gib --setup setup.exe
refused 1 "image of 4 GiB" "would reach 4 GiB" -o out/x.exe --archive half-a --setup setup.exe \
    --resource ZZ EXTRA half-b
refused 1 "setup missing" "--setup: no such file" -o out/x.exe --archive archive.7z \
    --setup missing.exe
refused 1 "setup cabinet missing" "--setup-cab: no such file" -o out/x.exe --archive archive.7z \
    --setup-cab missing.cab
for method in lzx:15 lzx-fast mszip none; do
    refused 1 "setup program over one folder, $method" "more than one cabinet folder holds" \
        -o out/x.exe --no-layout-check --setup over-one-folder.exe --cab-compression "$method"
done
# Cut short once the packer has begun to read it: the cut waits for the cabinet it writes, and
# is not made at all (which fails the row) if the packer ends first.
rm -f cut-made
(while [ ! -e packer-ended ]; do
    if [ -s out/.pack-stub.*/setup.cab ] 2>/dev/null; then
        truncate -s 1000 shrinking.exe && touch cut-made
        break
    fi
    sleep 0.01
done) &
cutter=$!
refused 1 "setup program that shrinks while read" "changed while being read" -o out/x.exe \
    --no-layout-check --setup shrinking.exe
touch packer-ended
wait "$cutter"
[ -e cut-made ] || fail "setup program that shrinks while read: the packer ended before the cut"
rm -f packer-ended
refused 1 "patch missing" "--patch: no such file" -o out/x.exe --archive archive.7z --patch missing
refused 1 "rcdata file missing" "--rcdata-file: no such file" -o out/x.exe "${payload[@]}" \
    --rcdata-file missing
refused 1 "resource file missing" "no such file: missing" -o out/x.exe "${payload[@]}" \
    --resource B7 NAME missing
no_utf16="a Windows command line is UTF-16: it cannot carry bytes that are not UTF-8"
only linux "$no_utf16" && refused 1 "previous version not UTF-8" "not valid UTF-8" -o out/x.exe \
    "${payload[@]}" --previous-version $'1.\xc3'
refused 1 "empty type" "TYPE is empty" -o out/x.exe "${payload[@]}" --resource "" NAME archive.7z
refused 1 "empty name" "NAME is empty" -o out/x.exe "${payload[@]}" --resource B7 "" archive.7z
refused 1 "integer name 0" "1 to 65535" -o out/x.exe "${payload[@]}" --resource B7 0 archive.7z
refused 1 "integer type 65536" "1 to 65535" -o out/x.exe "${payload[@]}" \
    --resource 65536 NAME archive.7z
refused 1 "integer name 0 in many digits" "1 to 65535" -o out/x.exe "${payload[@]}" \
    --resource B7 000000 archive.7z
only linux "$no_utf16" && refused 1 "name not UTF-8" "NAME is not valid UTF-8" -o out/x.exe \
    "${payload[@]}" --resource B7 $'\xff' archive.7z
only linux "a Windows command line holds at most 32,767 characters" &&
    refused 1 "name of 65,536 units" "longer than 65535" -o out/x.exe \
        "${payload[@]}" --resource ZZ "$long_name" empty
refused 1 "name read as an integer" "cannot begin with \"#\"" -o out/x.exe "${payload[@]}" \
    --resource ZZ '#12' empty
refused 1 "same resource twice" "given twice" -o out/x.exe "${payload[@]}" --resource ZZ X empty \
    --resource ZZ X archive.7z
refused 1 "same integer written two ways" "given twice" -o out/x.exe "${payload[@]}" \
    --resource 10 7 empty --resource 10 0000007 empty
refused 1 "names that differ only in case" "given twice (also by --resource ZZ Name)" \
    -o out/x.exe "${payload[@]}" \
    --resource ZZ Name empty --resource ZZ NAME empty
refused 1 "archive slot filled again" "given twice" -o out/x.exe "${payload[@]}" \
    --resource B7 ONDREL.PACKED.7Z archive.7z
refused 1 "clash with the stub's manifest" "clashes" -o out/x.exe "${payload[@]}" \
    --resource 24 1 archive.7z
if [ "$platform" = linux ]; then
    refused 1 "clash with the version options" "given twice (also by the version options)" \
        -o out/x.exe "${payload[@]}" --resource 16 1 empty --version-info A=B
    refused 1 "clash with an icon image" "the resource 3 2 is given twice (also by --icon)" \
        -o out/x.exe "${payload[@]}" --resource 3 2 empty --icon good.ico
fi
refused 1 "stub missing" "--stub: no such file" -o out/x.exe --stub missing.exe "${payload[@]}"
refused 1 "stub not a program" "not a 64-bit Windows program" -o out/x.exe \
    --stub not-a-program.exe "${payload[@]}"
refused 1 "stub truncated" "not a 64-bit Windows program" -o out/x.exe --stub truncated.exe \
    "${payload[@]}"
refused 1 "stub with data after it" "data follows its last section" -o out/x.exe \
    --stub bare-plus-data.exe "${payload[@]}"
refused 1 "stub already packed" "already carries a payload" -o out/x.exe --stub packed.exe \
    "${payload[@]}"
refused 1 "stub signed" "it is signed" -o out/x.exe --stub signed-bare.exe "${payload[@]}"
refused 1 "stub with a certificate table of no size" "a certificate table of no size" \
    -o out/x.exe --stub empty-certificate-table.exe "${payload[@]}"
refused 1 "certificate missing" "--sign-cert: no such file" -o out/x.exe "${payload[@]}" \
    --sign-cert missing.crt --sign-key signer.key
refused 1 "no certificate in the file" "no certificate in" -o out/x.exe "${payload[@]}" \
    --sign-cert signer.key --sign-key signer.key
only linux "a Unix program that Wine starts for a Windows one cannot be waited for" &&
    refused 1 "key of another signer" "signing failed" -o out/x.exe "${payload[@]}" \
        --sign-cert signer.crt --sign-key other.key
SOURCE_DATE_EPOCH=yesterday refused 1 "signing time not a number" "SOURCE_DATE_EPOCH" \
    -o out/x.exe "${payload[@]}" --sign-cert signer.crt --sign-key signer.key
PACK_STUB_SIGN_TIMEOUT=soon refused 1 "signing time limit not a number" \
    "PACK_STUB_SIGN_TIMEOUT is not a number of seconds" -o out/x.exe "${payload[@]}" \
    --sign-command "sign {file}"
only linux "tools/pack-stub launches the Linux packer only" &&
    PACK_STUB_BUILD_DIR=$scratch/no-build refused 1 "build tree without a packer" "not built yet" \
        -o out/x.exe "${payload[@]}"
# Without osslsigncode on PATH: on Linux the package is named, on Windows signtool afterwards.
if [ "$platform" = linux ]; then
    hide=PATH=$scratch/minimal-path no_signer="osslsigncode is not installed"
else
    hide=WINEPATH= no_signer="sign afterwards with signtool: signtool sign"
fi
printf '#!/bin/sh\nexport %s\nexec "%s" "$@"\n' "$hide" "$pack" >no-signer && chmod +x no-signer
pack=$scratch/no-signer refused 1 "osslsigncode not on PATH" "$no_signer" -o out/x.exe \
    "${payload[@]}" --sign-cert signer.crt --sign-key signer.key

# An output folder it cannot write to; where the tests run with rights that ignore permissions,
# an immutable one, if the file system has them.
mkdir locked
if [ "$(id -u)" -ne 0 ] && chmod 0555 locked || chattr +i locked 2>/dev/null; then
    refused 1 "output folder not writable" "-o: cannot write into locked" -o locked/x.exe \
        "${payload[@]}"
    [ -z "$(ls -A locked)" ] || fail "output folder not writable: left $(ls -A locked)"
    chattr -i locked 2>/dev/null
    chmod 0755 locked
else
    skip "no folder here is closed to these rights"
fi

if [ "$platform" = windows ]; then
    # Windows path forms: a drive with forward slashes, a \\?\ prefix, which takes none.
    refused 1 "folder missing, \\\\?\\ path" "no such directory" \
        -o "$(verbatim_path "$scratch/out/missing/x.exe")" "${payload[@]}"
    refused 1 "archive missing, \\\\?\\ path" "--archive: no such file" -o out/x.exe \
        --archive "$(verbatim_path "$scratch/missing.7z")" --setup setup.exe
    refused 1 "archive a directory, forward slashes" "--archive: not a regular file" \
        -o out/x.exe --archive "Z:$scratch/a-directory" --setup setup.exe
fi

# OUT naming an input is refused before anything is written, and the input is kept.
cp archive.7z own-input.7z
"$pack" -o own-input.7z --archive own-input.7z --setup setup.exe 2>stderr &&
    fail "OUT equal to the archive: accepted"
grep -qF "would overwrite its own input" stderr || fail "OUT equal to the archive: $(cat stderr)"
cmp -s archive.7z own-input.7z || fail "OUT equal to the archive: the archive changed"

# OUT that is not a regular file is refused and left as it is; a symbolic link is replaced by the
# stub, and what it pointed to is kept.
mkfifo a-fifo
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' a-socket ||
    fail "python3 could not make a socket"
[ "$platform" = linux ] && device=/dev/null fifo="is a FIFO" || device=NUL fifo="is a pipe"
for row in "a-fifo:-p:$fifo" "a-directory:-d:is a directory" "$device:-e:is a device" \
    "a-socket:-S:is a socket"; do
    IFS=: read -r target test reason <<<"$row"
    [ "$target" != a-socket ] || only linux "Wine cannot open a Unix socket as a file" || continue
    refused 1 "OUT $target" "$reason, not a regular file; it is left as it is" -o "$target" \
        "${payload[@]}"
    [ "$target" = NUL ] || [ "$test" "$target" ] || fail "OUT $target: no longer as it was"
done
cp archive.7z link-target && ln -s link-target a-link
if "$pack" -o a-link "${payload[@]}" >/dev/null 2>stderr; then
    [ ! -L a-link ] && cmp -s a-link packed.exe || fail "OUT a symbolic link: not replaced"
    cmp -s link-target archive.7z || fail "OUT a symbolic link: what it pointed to changed"
else
    fail "OUT a symbolic link: $(cat stderr)"
fi

# Without an archive or a setup program the packer asks for the option that gives it, in the
# user's terms, as a usage error that does not point to --no-layout-check (the shared table below
# has more such rows).
while IFS='|' read -r what message arguments; do
    read -ra arguments <<<"$arguments"
    refused 2 "$what" "pack-stub: $message" -o out/x.exe "${arguments[@]}"
    grep -qF -- "--no-layout-check" stderr && fail "$what: points to --no-layout-check: $(cat stderr)"
done <<EOF
no archive|--archive is required: the product's 7z archive|--setup setup.exe
only a patch|--archive is required: the product's 7z archive|--patch archive.7z
only other resources|--archive is required|--resource ZZ X archive.7z --resource BL SETUP.EX_ good.cab
an archive as a resource only|--setup, --setup-cab or --patch is required|--resource B7 ONDREL.PACKED.7Z archive.7z
EOF

# Every layout of the shared table packed without --no-layout-check: what the stub refuses at run
# time is refused here with the code it would end with, unless the packer answers otherwise (a
# column of its own). The build packed each with --no-layout-check, and --check of that stub
# names the same code.
data=${PACK_STUB_BUILD_DIR:-}/bin/test-data
[ -d "$data/layouts" ] || fail "no packed layouts in $data: build the tests first"
ln -s "$data" test-data && mkdir -p out
while IFS='|' read -r name arguments stub _ _ _ packer; do
    name=$(echo $name) stub=$(echo $stub) packer=$(echo $packer)
    arguments=${arguments//@/test-data/}
    while [[ $arguments =~ X\{([0-9]+)\} ]]; do
        run=$(head -c "${BASH_REMATCH[1]}" /dev/zero | tr '\0' X)
        arguments=${arguments/"X{${BASH_REMATCH[1]}}"/$run}
    done
    read -ra arguments <<<"$arguments"
    answer=${packer:-$stub}
    code="would end with ${answer%/*} (RESULT_" extra="), extra code ${answer#*/}: "
    case $answer in
    packs | 0/0)
        "$pack" -o out/x.exe "${arguments[@]}" >/dev/null 2>stderr ||
            fail "layout $name: not packed: $(cat stderr)" ;;
    "refused: "*) refused 1 "layout $name" "${answer#refused: }" -o out/x.exe "${arguments[@]}" ;;
    "usage: "*) refused 2 "layout $name" "pack-stub: ${answer#usage: }" -o out/x.exe "${arguments[@]}"
        grep -qF -- "--no-layout-check" stderr && fail "layout $name: $(cat stderr)" ;;
    *) refused 1 "layout $name" "$code" -o out/x.exe "${arguments[@]}"
        grep -qF -- "$extra" stderr || fail "layout $name: $(cat stderr)"
        [ -n "$packer" ] && continue
        "$pack" --check "test-data/layouts/$name.exe" >/dev/null 2>stderr &&
            fail "layout $name: --check exit status 0"
        grep -qF -- "$code" stderr && grep -qF -- "$extra" stderr ||
            fail "layout $name: --check says $(cat stderr)" ;;
    esac
done < <(grep -v '^#' "$repo/tests/payload/layout_cases.txt")
# Refused at pack time only: what is stored is a cabinet, which --check cannot look into.
refused 1 "a setup program that is not one" \
    "would end with 124 (RESULT_SETUP_LAUNCH_FAILED), extra code 193" \
    -o out/x.exe --archive archive.7z --setup not-a-program.exe
refused 1 "an empty setup program" "would end with 124 (RESULT_SETUP_LAUNCH_FAILED)" \
    -o out/x.exe --archive archive.7z --setup empty
# What the stub accepts but is probably a mistake, and names it stores otherwise than given:
# packed, and said in one line each.
warned() { # DESCRIPTION TEXT ARGUMENTS...
    local what=$1 text=$2
    shift 2
    "$pack" -o out/w.exe "$@" >/dev/null 2>stderr || fail "$what: not packed: $(cat stderr)"
    [ "$(grep -cF -- "$text" stderr)" -eq 1 ] || fail "$what: not said once: $(cat stderr)"
}
warned "archive without the 7z signature" "warning: the archive ONDREL.PACKED.7Z is not a 7z" \
    --archive not-a-program.exe --setup setup.exe
warned "patch without a previous version" "applies to any installed version" \
    --archive archive.7z --patch archive.7z
warned "cabinet file not named setup.exe" "warning: the cabinet's file is named \"one\"" \
    --archive archive.7z --setup-cab good.cab
warned "a type given in lower case" "note: --resource zz 1 is stored as ZZ 1" "${payload[@]}" \
    --resource zz 1 empty
warned "a name given in mixed case" "note: --resource ZZ Mixed.Name is stored as ZZ MIXED.NAME" \
    "${payload[@]}" --resource ZZ Mixed.Name empty

# --check lists the resources of a good stub, its cabinet and the longest folder it runs from.
if "$pack" --check packed.exe >stdout 2>stderr; then
    for text in "B7       ONDREL.PACKED.7Z" "BL       SETUP.EX_" "24       1" \
        'LZX, window 2^21, one file "setup.exe"' "runs from folders of up to 229 characters"; do
        grep -qF -- "$text" stdout || fail "--check does not report $text: $(cat stdout)"
    done
else
    fail "--check of a good stub: $(cat stderr)"
fi

# The product's identity: the version block from the options alone, the icon's every image as
# wrestool (icoutils) extracts them, the requested level; --check and its JSON report them.
identity=(--file-version 3.1.4 --version-info "ProductVersion=3.1 beta" --version-info
    CompanyName=Acme --version-info "ProductName=Acme Widget" --icon good.ico)
if [ "$platform" = windows ]; then
    : # the same-bytes check below packs with these options and compares with the Linux packer
elif ! "$pack" -o identity.exe "${payload[@]}" "${identity[@]}" --execution-level \
    requireAdministrator >/dev/null 2>stderr; then
    fail "packing with the product's identity: $(cat stderr)"
else
    "$pack" --check identity.exe >stdout 2>stderr || fail "--check of identity.exe: $(cat stderr)"
    tr -d '\r' <stdout >report
    for text in "version: file 3.1.4.0, product 3.1.4.0" "  FileVersion: 3.1.4.0" \
        "  ProductVersion: 3.1 beta" "  CompanyName: Acme" \
        "icon: 16x16 32-bit, 32x32 32-bit, 256x256 32-bit" "execution level: requireAdministrator"; do
        grep -qxF -- "$text" report || fail "--check does not report '$text': $(cat report)"
    done
    ! grep -q Velmora report || fail "the bare stub's strings stayed beside the options'"
fi
if [ -s identity.exe ]; then
    "$pack" --check --json identity.exe >stdout 2>stderr || fail "--check --json: $(cat stderr)"
    python3 - stdout <<'PY' || fail "--check --json of identity.exe: $(cat stdout)"
import json, sys
report = json.load(open(sys.argv[1]))
assert report["version"] == {"file_version": "3.1.4.0", "product_version": "3.1.4.0",
    "strings": {"FileVersion": "3.1.4.0", "ProductVersion": "3.1 beta", "CompanyName": "Acme",
                "ProductName": "Acme Widget"}}, report["version"]
assert [(i["width"], i["bit_count"]) for i in report["icons"]] == [(16, 32), (32, 32), (256, 32)]
assert report["execution_level"] == "requireAdministrator"
PY
    rm -rf icons && mkdir icons
    wrestool -x -t 14 -o icons identity.exe 2>stderr || fail "wrestool: $(cat stderr)"
    [ "$(ls icons | wc -l)" -eq 1 ] || fail "wrestool found $(ls icons | wc -l) icon groups, not 1"
    # wrestool writes as many bytes again as the group holds after the last image (it does so
    # for the bare stub, which a resource compiler made, too): the .ico is the part before.
    cmp -s -n "$(wc -c <good.ico)" icons/*.ico good.ico ||
        fail "the icon wrestool extracts is not the one given"
    "$pack" --check packed.exe 2>&1 | tr -d '\r' >report
    grep -qxF "execution level: asInvoker" report && grep -qxF "  CompanyName: Velmora" report ||
        fail "--check of the bare stub's identity: $(cat report)"
    "$pack" -o manifest.exe "${payload[@]}" --manifest good.manifest >/dev/null 2>stderr &&
        "$pack" --check manifest.exe 2>&1 | grep -qxF "execution level: highestAvailable" ||
        fail "packing with a manifest of the product's own: $(cat stderr)"
fi

# ... and the compression of the cabinet the packer made.
for method in "lzx:15 LZX, window 2^15" "lzx-fast:18 LZX, window 2^18" \
    "lzx-max:16 LZX, window 2^16" "mszip MSZIP" \
    "none stored"; do
    "$pack" -o out/c.exe "${payload[@]}" --cab-compression "${method%% *}" >/dev/null 2>&1 &&
        "$pack" --check out/c.exe >stdout 2>&1
    grep -qF -- "cabinet: ${method#* }, one file" stdout || fail "--check of ${method%% *}: $(cat stdout)"
done

# The image as an independent reader sees it: sections ascending and adjacent in memory, the
# resources last and the relocations' directory following them, file offsets aligned as the
# headers say, resource data 8-byte aligned and the payload on pages of its own.
x86_64-w64-mingw32-objdump -h -p packed.exe >objdump.txt || fail "objdump cannot read a packed stub"
awk '
    function hex(s,    i, v) {
        sub(/^0x/, "", s); v = 0
        for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
        return v
    }
    /^FileAlignment/ { file_alignment = hex($2) }
    /^SizeOfImage/ { image_size = hex($2) }
    /^Entry 2 / { resource_rva = hex($3) }
    /^Entry 5 / { reloc_rva = hex($3) }
    /^ *[0-9]+ \.[a-z]+ / {
        name = $2; size = hex($3); vma = hex($4) - hex("140000000"); offset = hex($6)
        if (n && vma != end) printf "section %s at 0x%x, not at 0x%x\n", name, vma, end
        if (offset % file_alignment) printf "section %s at file offset 0x%x\n", name, offset
        end = int((vma + size + 4095) / 4096) * 4096; last = name; last_vma = vma; last_offset = offset
        if (name == ".reloc") reloc_vma = vma
        n++
    }
    /Leaf: Addr:/ {
        sub(",", "", $4); addr = hex($4)
        if (addr % 8) printf "resource data at 0x%x\n", addr
        if (++leaf <= 2 && ((addr - last_vma + last_offset) % 4096)) printf "payload at file offset 0x%x\n", addr - last_vma + last_offset
    }
    END {
        if (last != ".rsrc") print "the last section is " last
        if (resource_rva != last_vma) print "the resource directory is not the last section"
        if (reloc_rva != reloc_vma) print "the relocations directory does not follow .reloc"
        if (image_size != end) printf "SizeOfImage 0x%x, not 0x%x\n", image_size, end
        if (leaf < 6) print "fewer resources than packed"
    }' objdump.txt >layout-problems.txt
[ ! -s layout-problems.txt ] || fail "the packed image breaks the PE rules: $(cat layout-problems.txt)"

# Without a payload the packed stub holds the bare stub's code, byte for byte.
code() { x86_64-w64-mingw32-objcopy -O binary --only-section=.text "$1" "$2"; }
"$pack" -o plain.exe --no-layout-check 2>stderr || fail "packing without payload: $(cat stderr)"
code plain.exe plain.text && code "$bare" bare.text && cmp -s plain.text bare.text ||
    fail "a stub packed without payload has other code than the bare stub"
only linux "Windows has no executable bit" &&
    { [ -x plain.exe ] || fail "the packed stub is not executable"; }

# Packing needs no MinGW tool: tools/pack-stub with a PATH of bash and dirname only.
if only linux "Wine needs a full PATH; the release bundle's test packs on Windows without MinGW"
then
    PATH=$scratch/minimal-path "$pack" -o minimal.exe "${payload[@]}" >/dev/null 2>stderr ||
        fail "packing with a PATH without MinGW tools: $(cat stderr)"
    cmp -s minimal.exe packed.exe || fail "packing with another PATH gave other bytes"
fi

# Windows paths: every form gives the same bytes, one of them a folder with spaces and
# characters beyond ASCII, and the stub packed there runs from it.
if [ "$platform" = windows ]; then
    spaced="Ünïcödé folder 名前"
    mkdir "$spaced" && cp archive.7z setup.exe "$spaced/"
    for form in forward verbatim spaced; do
        folder=$scratch
        case $form in
        forward) at() { printf 'Z:%s/%s' "$folder" "$1"; } ;;
        verbatim) at() { verbatim_path "$folder/$1"; } ;;
        spaced) folder=$scratch/$spaced && at() { windows_path "$folder/$1"; } ;;
        esac
        if "$pack" -o "$(at $form.exe)" --archive "$(at archive.7z)" --setup "$(at setup.exe)" \
            >/dev/null 2>stderr; then
            cmp -s "$folder/$form.exe" packed.exe || fail "$form paths gave other bytes"
        else
            fail "$form paths: $(cat stderr)"
        fi
    done
    check_stub_run "the stub packed in $spaced" "$spaced/spaced.exe" archive.7z
fi

# Interrupted while it writes a 1 GiB payload, it leaves neither OUT nor anything else.
truncate -s 1G one-gib && rm -rf out && mkdir out
"$pack" -o out/big.exe --archive one-gib --setup setup.exe >/dev/null 2>&1 &
packer=$!
# The signal goes once the output has begun, however long that takes; a packer that ended first
# was not interrupted, which the status below then shows.
while kill -0 "$packer" 2>/dev/null && ! [ -s out/.pack-stub.*/stub.exe ] 2>/dev/null; do
    sleep 0.01
done
# Under Wine the packer runs in the Wine process below the launcher and the Wine wrapper, which is
# what Ctrl-C would reach.
descendants() { for child in $(pgrep -P "$1"); do echo "$child" && descendants "$child"; done; }
target=$packer
if [ "$platform" = windows ]; then
    # The Wine process names itself after the program; the shells above only pass its name on.
    for process in $(descendants "$packer"); do
        tr '\0' '\n' <"/proc/$process/cmdline" 2>/dev/null | head -n 1 |
            grep -q 'pack-stub\.exe$' && target=$process && break
    done
fi
kill -INT "$target"
wait "$packer"
status=$?
[ "$status" -eq 130 ] || fail "an interrupted pack exited with $status, not 130"
[ -z "$(ls -A out)" ] || fail "an interrupted pack left $(ls -A out)"

# on_terminal LOG COMMAND...: runs COMMAND on a pseudo-terminal that nothing types into, for at
# most 600 seconds (124 when that ends it); what it shows goes to LOG. The packer under Wine is run
# without the launcher, which would send its errors to a file.
mkfifo terminal-input
on_terminal() {
    local log=$1 status
    shift
    [ "$1" != "$pack" ] || [ "$platform" = linux ] ||
        set -- "${wine_run[@]}" "$PACK_STUB_BUILD_DIR/bin/windows/pack-stub.exe" "${@:2}"
    exec 7<>terminal-input
    # Only a guard against a prompt that waits for ever: no write here takes a tenth of it.
    timeout 600 script -qec "$(printf '%q ' "$@")" /dev/null <&7 >"$log"
    status=$?
    exec 7>&-
    return $status
}

# Progress, by size: on a terminal, one line rewritten in place for a setup program over 8 MiB
# or a stub over 256 MiB, cleared at the end; none below, with --quiet, or in a pipe.
head -c 8M /dev/urandom >eight-mib.exe && { cat eight-mib.exe && printf x; } >over-eight-mib.exe
truncate -s 257M over-256-mib
none="--cab-compression none"
for row in "terminal:yes:compressing the setup program:--setup over-eight-mib.exe $none" \
    "terminal:no:compressing:--setup eight-mib.exe $none" \
    "terminal:no:compressing:--setup over-eight-mib.exe $none --quiet" \
    "pipe:no:compressing:--setup over-eight-mib.exe $none" \
    "terminal:yes:writing out/p.exe:--archive over-256-mib"; do
    IFS=: read -r where shown work arguments <<<"$row"
    read -ra arguments <<<"$arguments"
    what="progress on a $where, $shown, for ${arguments[*]}"
    command=("$pack" -o out/p.exe --no-layout-check "${arguments[@]}")
    if [ "$where" = terminal ]; then
        on_terminal progress.log "${command[@]}"
    else
        "${command[@]}" 2>&1 | cat >progress.log
    fi || fail "$what: not packed: $(cat progress.log)"
    # As written, without the escape sequences Wine's console adds to draw it.
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' progress.log >progress.text
    tr '\r' '\n' <progress.text >progress.lines
    if [ "$shown" = no ]; then
        ! grep -qF "$work" progress.lines || fail "$what: shown: $(head -c 200 progress.log)"
    elif ! grep -qE "^pack-stub: $work: 100%, [0-9.]+ MB/s\$" progress.lines; then
        fail "$what: no progress to 100 %: $(head -c 200 progress.log)"
    else
        [ "$(grep -c -- "$work: " progress.lines)" -gt 50 ] || fail "$what: not updated as it went"
        grep -qzP -- "$work: 100%, [0-9.]+ MB/s\r *\r?(\r?\n|\z)" progress.text ||
            fail "$what: the line is not cleared at the end"
    fi
done
rm -f over-256-mib out/p.exe

# On a terminal, and a Windows console, messages keep the characters beyond ASCII in the paths
# they name.
on_terminal console.log "$pack" -o "Ünïcödé 名前/x.exe" --archive archive.7z --setup setup.exe
grep -qF -- "-o: no such directory: Ünïcödé 名前" console.log ||
    fail "a message on a terminal: $(od -c console.log | head -n 4)"

# --help: the whole interface, on stdout.
if "$pack" --help >stdout 2>stderr; then
    for text in "Usage: pack-stub -o OUT.exe" --stub --archive --setup --setup-cab --patch \
        --previous-version --rcdata-file "--resource TYPE NAME FILE" --no-layout-check \
        "--cab-compression lzx[:15..21] | lzx-max[:15..21] | lzx-fast[:15..21] | mszip | none" \
        "--check STUB.exe" makecab CompressionType=LZX "--sign-cert CERT" "--sign-key KEY" \
        "--sign-pass-file FILE" --quiet "a symbolic link is replaced" osslsigncode \
        SOURCE_DATE_EPOCH "--file-version A.B.C.D" "--product-version A.B.C.D" \
        "--version-info KEY=VALUE" "--icon FILE.ico" "--manifest FILE" \
        "--execution-level asInvoker | highestAvailable | requireAdministrator"; do
        grep -qF -- "$text" stdout || fail "--help does not mention $text"
    done
    [ ! -s stderr ] || fail "--help wrote to stderr"
else
    fail "--help exit status $?"
fi
# ... shaped so that help2man's page has every form of the command in its synopsis and every
# option in a paragraph of its own.
if only linux "help2man runs the packer it documents"; then
    help2man -N "$pack" >pack-stub.1 2>stderr || fail "help2man: $(cat stderr)"
    forms=$(sed -n '1,/^$/p' stdout | grep -c 'pack-stub ')
    [ "$(grep -c '^\.B pack-stub$' pack-stub.1)" -eq "$forms" ] ||
        fail "the man page's synopsis has not all $forms forms of the command"
    grep -A1 '^\.TP' pack-stub.1 | sed -n 's/^\\fB\(.*\)\\fR.*/\1/p' | tr -d '\\' >paragraphs
    grep -oE '^  -[-a-z0-9]+' stdout | tr -d ' ' >options
    # A --help whose options the pattern no longer finds would leave nothing to compare.
    for known in -o --archive --setup --check; do
        grep -qx -- "$known" options || fail "--help names no $known (of: $(echo $(cat options)))"
    done
    while read -r option; do
        [ "$(grep -cx -- "$option" paragraphs)" -eq 1 ] ||
            echo "$option has not one paragraph of its own in the man page"
    done <options >man-problems
    [ ! -s man-problems ] || fail "$(cat man-problems)"
fi
# --version: the release's version, from the one file that sets it.
[ "$("$pack" --version 2>&1 | tr -d '\r')" = "pack-stub $version" ] ||
    fail "--version says $("$pack" --version 2>&1), not pack-stub $version"

# Same inputs, same bytes: from another output directory and name, another working directory,
# temporary directory and time zone, with the inputs' times and modes changed in between.
payload=(--archive "$scratch/archive.7z" --setup "$scratch/setup.exe" --patch "$scratch/archive.7z"
    --previous-version "1.2.3.4" --resource B7 lower.Name "$scratch/archive.7z"
    --resource 300 7 "$scratch/empty" --file-version 1.2 --version-info "Comments=β 2"
    --icon "$scratch/good.ico" --execution-level highestAvailable)
mkdir -p first second/deeper other-tmp
if "$pack" -o first/stub.exe --no-layout-check "${payload[@]}" 2>stderr; then
    [ "$(ls -A first)" = stub.exe ] || fail "packing left $(ls -A first)"
    touch -d '2015-06-07 08:09:10' setup.exe archive.7z
    chmod 0755 setup.exe
    if (cd second && TZ=Pacific/Auckland TMPDIR=$scratch/other-tmp \
        "$pack" -o deeper/other-name.exe --no-layout-check "${payload[@]}") 2>stderr; then
        cmp -s first/stub.exe second/deeper/other-name.exe ||
            fail "the same inputs gave different stubs"
    else
        fail "second pack: $(cat stderr)"
    fi
    # ... and the Linux packer's bytes, from the Windows one.
    if [ "$platform" = windows ]; then
        "$repo/tools/pack-stub" -o linux.exe --no-layout-check "${payload[@]}" 2>stderr &&
            cmp -s first/stub.exe linux.exe ||
            fail "the Linux packer gave other bytes than the Windows one: $(cat stderr)"
    fi
    # ... and the comparison can tell: another setup program gives another stub.
    payload[3]=$scratch/bare-plus-data.exe
    "$pack" -o first/changed.exe --no-layout-check "${payload[@]}" 2>stderr ||
        fail "third pack: $(cat stderr)"
    ! cmp -s first/stub.exe first/changed.exe || fail "a different setup program changed nothing"

    # No path of the machine in the stub, in either of the encodings it stores text in: not the
    # sources', the build tree's, nor the inputs'. The search does find what is there: a
    # resource name and an imported library's name.
    contains() { # file, text, encoding
        local bytes
        bytes=$(printf '%s' "$2" | iconv -f UTF-8 -t "$3" | od -An -tx1 -v | tr -d ' \n' |
            sed 's/../\\x&/g')
        LC_ALL=C grep -qaP -- "$bytes" "$1"
    }
    contains first/stub.exe lower.Name UTF-16LE && contains first/stub.exe KERNEL32.dll UTF-8 ||
        fail "the path search cannot find names the stub holds"
    paths=("$repo" "$(cd "$PACK_STUB_BUILD_DIR" && pwd)" "$scratch")
    [ "$platform" = linux ] || paths+=("$(windows_path "$scratch")" "$(windows_path "$repo")")
    for path in "${paths[@]}"; do
        for encoding in UTF-8 UTF-16LE; do
            ! contains first/stub.exe "$path" "$encoding" ||
                fail "the stub contains $path in $encoding"
        done
    done
else
    fail "first pack: $(cat stderr)"
fi

finish
