#!/usr/bin/env bash
# Runs tools/pack-stub natively against the configured build: refused input leaves nothing behind,
# --help describes the interface, and the same inputs give the same bytes with no path of the
# machine in them. Signed stubs that verify and run are pack_stub_signing_test.sh's.
#   pack_stub_test.sh PACK_STUB BARE_STUB      (PACK_STUB_BUILD_DIR names the build tree)
set -uo pipefail
pack=$1
bare=$2

source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" pack-stub-test

head -c 5001 /dev/urandom >archive.7z
head -c 3001 /dev/urandom >setup.exe
head -c 3001 /dev/urandom >other-setup.exe
: >empty
mkdir a-directory no-build
# A throwaway signer, and a key that does not belong to its certificate.
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.crt -days 2 \
    -subj "/CN=pack-stub test signer" >/dev/null 2>&1 || fail "openssl could not make a certificate"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.key >/dev/null 2>&1 ||
    fail "openssl could not make a key"

# refused DESCRIPTION MESSAGE-FRAGMENT ARGUMENTS...: a nonzero exit, one line on stderr naming the
# reason, and nothing at all in out/ (neither OUT nor a temporary file).
refused() {
    local what=$1 reason=$2
    shift 2
    rm -rf out && mkdir out
    "$pack" "$@" >stdout 2>stderr
    local status=$?
    [ "$status" -ne 0 ] || fail "$what: exit status 0"
    [ "$(wc -l <stderr)" -eq 1 ] || fail "$what: stderr is not one line: $(cat stderr)"
    grep -qF -- "$reason" stderr || fail "$what: stderr does not mention '$reason': $(cat stderr)"
    [ ! -s stdout ] || fail "$what: wrote to stdout"
    [ -z "$(ls -A out)" ] || fail "$what: left $(ls -A out)"
}

refused "no -o" "no output given" --archive archive.7z
refused "-o without a value" "-o needs a value" -o
refused "empty -o" "-o needs a file name" -o ""
refused "-o twice" "-o given twice" -o out/a.exe -o out/b.exe
refused "unknown option" "unknown argument: --bogus" -o out/x.exe --bogus
refused "stray argument" "unknown argument: stray" -o out/x.exe stray
refused "output directory missing" "no such directory" -o out/missing/x.exe
refused "output is a directory" "is a directory" -o out
refused "archive missing" "--archive: no such file" -o out/x.exe --archive missing.7z
refused "archive is a directory" "--archive: not a regular file" -o out/x.exe --archive a-directory
refused "archive given twice" "--archive given twice" -o out/x.exe --archive archive.7z \
    --archive archive.7z
refused "setup missing" "--setup: no such file" -o out/x.exe --setup missing.exe
refused "setup cabinet missing" "--setup-cab: no such file" -o out/x.exe --setup-cab missing.cab
refused "patch missing" "--patch: no such file" -o out/x.exe --patch missing
refused "rcdata file missing" "--rcdata-file: no such file" -o out/x.exe --rcdata-file missing
refused "resource file missing" "no such file: missing" -o out/x.exe --resource B7 NAME missing
refused "setup and setup cabinet" "exclude each other" -o out/x.exe --setup setup.exe \
    --setup-cab archive.7z
refused "previous version and rcdata file" "exclude each other" -o out/x.exe \
    --previous-version 1.0 --rcdata-file archive.7z
refused "previous version not UTF-8" "not valid UTF-8" -o out/x.exe --previous-version $'1.\xc3'
refused "resource short of values" "--resource needs 3 values" -o out/x.exe --resource B7 NAME
refused "empty type" "TYPE is empty" -o out/x.exe --resource "" NAME archive.7z
refused "empty name" "NAME is empty" -o out/x.exe --resource B7 "" archive.7z
refused "integer name 0" "1 to 65535" -o out/x.exe --resource B7 0 archive.7z
refused "integer type 65536" "1 to 65535" -o out/x.exe --resource 65536 NAME archive.7z
refused "integer name 0 in many digits" "1 to 65535" -o out/x.exe --resource B7 000000 archive.7z
refused "name not UTF-8" "NAME is not valid UTF-8" -o out/x.exe --resource B7 $'\xff' archive.7z
refused "same resource twice" "given twice" -o out/x.exe --resource B7 X archive.7z \
    --resource B7 X setup.exe
refused "same integer written two ways" "given twice" -o out/x.exe --resource 10 7 empty \
    --resource 10 0000007 empty
refused "archive slot filled again" "given twice" -o out/x.exe --archive archive.7z \
    --resource B7 ONDREL.PACKED.7Z archive.7z
refused "previous version slot filled again" "given twice" -o out/x.exe --previous-version 1 \
    --resource 10 1 empty
refused "clash with the stub's manifest" "clashes" -o out/x.exe --resource 24 1 archive.7z
refused "version block the compiler cannot read" "resource compiler" -o out/x.exe \
    --resource 16 2 archive.7z
refused "certificate without key" "--sign-cert and --sign-key go together" -o out/x.exe \
    --sign-cert signer.crt
refused "key without certificate" "--sign-cert and --sign-key go together" -o out/x.exe \
    --sign-key signer.key
refused "certificate missing" "--sign-cert: no such file" -o out/x.exe --sign-cert missing.crt \
    --sign-key signer.key
refused "key missing" "--sign-key: no such file" -o out/x.exe --sign-cert signer.crt \
    --sign-key missing.key
refused "no certificate in the file" "no certificate in" -o out/x.exe --sign-cert signer.key \
    --sign-key signer.key
refused "key of another signer" "signing failed" -o out/x.exe --archive archive.7z \
    --sign-cert signer.crt --sign-key other.key
SOURCE_DATE_EPOCH=yesterday refused "signing time not a number" "SOURCE_DATE_EPOCH" \
    -o out/x.exe --sign-cert signer.crt --sign-key signer.key
PACK_STUB_BUILD_DIR=$scratch/no-build refused "build tree without a stub" "no stub build" \
    -o out/x.exe --archive archive.7z

# A stub already at OUT survives a refused run unchanged, whether it fails before linking or
# after, in the signer.
for bad in "--archive missing.7z" "--sign-cert signer.crt --sign-key other.key"; do
    rm -rf out && mkdir out && echo previous >out/x.exe
    # shellcheck disable=SC2086 # the options are split on purpose
    "$pack" -o out/x.exe $bad 2>/dev/null && fail "$bad: accepted"
    [ "$(cat out/x.exe)" = previous ] || fail "$bad: the refused run changed the existing OUT"
    [ "$(ls -A out)" = x.exe ] || fail "$bad: the refused run left $(ls -A out)"
done

# --help: the whole interface, on stdout.
if "$pack" --help >stdout 2>stderr; then
    for text in "Usage: tools/pack-stub -o OUT.exe" --archive --setup --setup-cab --patch \
        --previous-version --rcdata-file "--resource TYPE NAME FILE" PACK_STUB_BUILD_DIR \
        makecab CompressionType=LZX "--sign-cert CERT --sign-key KEY" osslsigncode \
        SOURCE_DATE_EPOCH; do
        grep -qF -- "$text" stdout || fail "--help does not mention $text"
    done
    [ ! -s stderr ] || fail "--help wrote to stderr"
else
    fail "--help exit status $?"
fi

# Without a payload the packed stub holds the bare stub's code, byte for byte: both are linked from
# the same objects the same way, only with sections aligned to pages in the file.
code() { x86_64-w64-mingw32-objcopy -O binary --only-section=.text "$1" "$2"; }
rm -rf out && mkdir out
if "$pack" -o out/plain.exe 2>stderr; then
    code out/plain.exe out/plain.text && code "$bare" out/bare.text &&
        cmp -s out/plain.text out/bare.text ||
        fail "a stub packed without payload has other code than the bare stub"
    [ -x out/plain.exe ] || fail "the packed stub is not executable"
else
    fail "packing without payload: $(cat stderr)"
fi

# Same inputs, same bytes: from another output directory and name, another working directory,
# temporary directory and time zone, with the inputs' times and modes changed in between.
payload=(--archive "$scratch/archive.7z" --setup "$scratch/setup.exe" --patch "$scratch/empty"
    --previous-version "1.2.3.4" --resource B7 lower.Name "$scratch/archive.7z"
    --resource 300 7 "$scratch/empty")
mkdir -p first second/deeper other-tmp
if "$pack" -o first/stub.exe "${payload[@]}" 2>stderr; then
    [ "$(ls -A first)" = stub.exe ] || fail "packing left $(ls -A first)"
    touch -d '2015-06-07 08:09:10' setup.exe archive.7z
    chmod 0755 setup.exe
    sleep 2 # cabinets keep times in 2-second steps: the clock must move on visibly
    if (cd second && TZ=Pacific/Auckland TMPDIR=$scratch/other-tmp \
        "$pack" -o deeper/other-name.exe "${payload[@]}") 2>stderr; then
        cmp -s first/stub.exe second/deeper/other-name.exe ||
            fail "the same inputs gave different stubs"
    else
        fail "second pack: $(cat stderr)"
    fi
    # ... and the comparison can tell: another setup program gives another stub.
    payload[3]=$scratch/other-setup.exe
    "$pack" -o first/changed.exe "${payload[@]}" 2>stderr || fail "third pack: $(cat stderr)"
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
    for path in "$(cd "$(dirname "$pack")/.." && pwd)" "$(cd "$PACK_STUB_BUILD_DIR" && pwd)" \
        "$scratch"; do
        for encoding in UTF-8 UTF-16LE; do
            ! contains first/stub.exe "$path" "$encoding" ||
                fail "the stub contains $path in $encoding"
        done
    done
else
    fail "first pack: $(cat stderr)"
fi

finish
