#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Signs a packed stub with a throwaway certificate: the signature verifies against that
# certificate and no other, signing again elsewhere later gives the same bytes, and the signed
# stub still runs under Wine and installs with the setup fixture. Keys it cannot use fail at once,
# also on a terminal, with osslsigncode on PATH and with the one in each SIGNER_FOLDER.
#   pack_stub_signing_test.sh PACK_STUB SETUP_FIXTURE WINE_RUN PREFIX [SIGNER_FOLDER...]
#   (PACK_STUB_BUILD_DIR names the build tree)
set -uo pipefail
pack=$1
fixture=$2
signer_folders=("${@:5}")
test_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" pack-stub-signing-test
use_wine_run "$3" "$4"

for signer in signer stranger; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout $signer.key -out $signer.crt -days 2 \
        -subj "/CN=pack-stub test $signer" >/dev/null 2>&1 || fail "openssl: no $signer certificate"
done
head -c 70001 /dev/urandom >product.7z
mkdir first second other-tmp
signing=(--archive "$scratch/product.7z" --setup "$fixture" --sign-cert "$scratch/signer.crt"
    --sign-key "$scratch/signer.key")

"$pack" -o first/stub.exe "${signing[@]}" >stdout 2>stderr || fail "signing: $(cat stderr)"
[ "$(ls -A first)" = stub.exe ] || fail "signing left $(ls -A first)"
grep -qF "first/stub.exe: $(stat -c %s first/stub.exe) bytes;" stdout ||
    fail "the size line is not the signed stub's $(stat -c %s first/stub.exe) bytes: $(cat stdout)"
[ -x first/stub.exe ] || fail "the signed stub is not executable"
osslsigncode verify -CAfile signer.crt -in first/stub.exe >verify.log 2>&1 ||
    fail "the signature does not verify: $(grep -m1 -i 'fail\|error' verify.log)"
osslsigncode verify -CAfile stranger.crt -in first/stub.exe >/dev/null 2>&1 &&
    fail "the signature verifies against a certificate that did not sign it"
[ "$failures" -eq 0 ] || finish

# --check as a release gate. Signatures made here by osslsigncode: an ECDSA one with SHA-384
# nested in the packer's RSA one, time-stamped by an authority of the test's own (osslsigncode's
# built-in one; 2.9 has it). Each reported with its signer and time stamp, its digest matching and
# the signature verifying, by the Linux packer and by the Windows one under Wine.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -out ec.crt \
    -days 2 -subj "/CN=pack-stub test ec signer/O=Velmora" >/dev/null 2>&1 &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.crt -days 2 \
        -subj "/CN=pack-stub test authority" -addext "extendedKeyUsage=critical,timeStamping" \
        >/dev/null 2>&1 || fail "openssl: no EC or time-stamp certificate"
osslsigncode sign -certs ec.crt -key ec.key -h sha384 -nest -TSA-certs tsa.crt -TSA-key tsa.key \
    -TSA-time 1700000000 -in first/stub.exe -out nested.exe >/dev/null 2>&1 ||
    fail "osslsigncode: no nested signature"
# Into a file first: grep -q leaving early would end osslsigncode with SIGPIPE, failing the pipe.
osslsigncode verify -CAfile signer.crt -in nested.exe >verify-nested.log 2>&1
grep -q "Timestamp Server Signature" verify-nested.log ||
    fail "osslsigncode does not show the nested signature's time stamp"
"$pack" -o unsigned.exe "${signing[@]:0:4}" 2>stderr || fail "packing unsigned: $(cat stderr)"
# check_with linux|windows ARGS...: the packer for Linux, or the one for Windows under Wine.
check_with() {
    if [ "$1" = linux ]; then
        "$pack" "${@:2}"
    else
        bash "$test_dir/wine-retry.sh" "${wine_run[@]}" \
            "$PACK_STUB_BUILD_DIR/bin/windows/pack-stub.exe" "${@:2}"
    fi
}
# json_of FILE WHAT PYTHON-EXPRESSION: the expression, over the report `d`, must hold.
json_holds() {
    python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if ($2) else 1)" "$1"
}
for packer in linux windows; do
    for row in "first/stub.exe:1" "nested.exe:2" "unsigned.exe:0"; do
        IFS=: read -r stub count <<<"$row"
        what="$packer packer, --check --json $stub"
        check_with $packer --check "$stub" --json >report.json 2>stderr || fail "$what: $(cat stderr)"
        json_holds report.json "d['signed'] == ($count > 0) and len(d['signatures']) == $count and
            d['fault'] is None and d['extracts'] and all(s['digest_matches'] and
            s['signature_verifies'] and s['fault'] is None for s in d['signatures'])" ||
            fail "$what: $(cat report.json)"
        cp report.json "$packer-$(basename "$stub").json"
    done
    json_holds $packer-nested.exe.json "[(s['depth'], s['digest_algorithm'], s['subject'],
        s['timestamp']) for s in d['signatures']] == [(0, 'SHA-256', 'CN=pack-stub test signer',
        None), (1, 'SHA-384', 'CN=pack-stub test ec signer, O=Velmora', {'kind': 'rfc3161',
        'time': '2023-11-14T22:13:20Z', 'authority': 'CN=pack-stub test authority'})]" ||
        fail "$packer packer: the nested signature's report: $(cat $packer-nested.exe.json)"
done
# One content digest for the same inputs, signed or not, from either packer.
digests=$(for f in {linux,windows}-{stub,nested,unsigned}.exe.json; do
    python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['content_digest'])" "$f"
done | sort -u)
[ "$(wc -l <<<"$digests")" -eq 1 ] && [ ${#digests} -eq 64 ] ||
    fail "the content digests differ: $digests"
"$pack" --check unsigned.exe >stdout 2>&1 && grep -qx "content digest: sha256:$digests" stdout &&
    grep -qx "not signed" stdout || fail "--check unsigned.exe: $(cat stdout)"

# Damaged after signing, each fails the gate with status 1 and one line naming the fault: a
# payload byte, bytes after the table, a table cut short or claiming more, one that is not
# Authenticode's, an RSA signature value with one bit flipped (its digest still matches).
damage() {
    python3 - "$@" <<'PY'
import struct, sys
kind, source, target = sys.argv[1:4]
b = bytearray(open(source, 'rb').read())
entry = struct.unpack_from('<I', b, 60)[0] + 24 + 112 + 8 * 4
offset, size = struct.unpack_from('<II', b, entry)
if kind == 'payload': b[offset // 2] ^= 1
elif kind == 'appended': b += bytes(8)
elif kind == 'truncated': b = b[:-16]
elif kind == 'oversized': struct.pack_into('<I', b, entry + 4, size + 8)
elif kind == 'foreign': struct.pack_into('<H', b, offset + 6, 1)
elif kind == 'forged': b[b.rfind(b'\x04\x82\x01\x00', offset) + 104] ^= 1
open(target, 'wb').write(b)
PY
}
for row in "payload:does not match the file" "appended:data after the certificate table" \
    "truncated:runs past the end of the file" "oversized:runs past the end of the file" \
    "foreign:not an Authenticode signature" "forged:signature does not verify"; do
    IFS=: read -r kind reason <<<"$row"
    damage "$kind" first/stub.exe damaged.exe || fail "$kind: not damaged"
    for packer in linux windows; do
        check_with $packer --check --json damaged.exe >report.json 2>stderr
        status=$?
        [ "$status" -eq 1 ] && [ "$(wc -l <stderr)" -eq 1 ] && grep -qF "$reason" stderr &&
            json_holds report.json "'$reason' in d['fault']" ||
            fail "$packer packer, $kind: status $status: $(cat stderr report.json)"
    done
done
[ "$failures" -eq 0 ] || finish

# Signed again a second later, from elsewhere: the signing time is fixed, so the bytes are the
# same; SOURCE_DATE_EPOCH sets that time.
sleep 1
(cd second && TMPDIR=$scratch/other-tmp "$pack" -o again.exe "${signing[@]}") 2>stderr ||
    fail "signing again: $(cat stderr)"
cmp -s first/stub.exe second/again.exe || fail "signing the same inputs twice gave other bytes"
SOURCE_DATE_EPOCH=1234567890 "$pack" -o second/dated.exe "${signing[@]}" 2>stderr ||
    fail "signing with SOURCE_DATE_EPOCH: $(cat stderr)"
osslsigncode verify -CAfile signer.crt -in second/dated.exe 2>&1 |
    grep -q 'Signing time: Feb 13 23:31:30 2009 GMT' ||
    fail "SOURCE_DATE_EPOCH did not set the signing time"

# Keys osslsigncode cannot use end the run at once with status 1 and one line, leaving no OUT,
# also on a terminal, where OpenSSL would ask for a pass phrase and wait; a pass phrase file
# opens an encrypted key. With each osslsigncode at hand.
openssl pkey -in signer.key -aes256 -passout pass:secret -out encrypted.key &&
    echo secret >pass-phrase && echo wrong >wrong-pass-phrase || fail "openssl: no encrypted key"
mkfifo terminal-input
for folder in "" "${signer_folders[@]}"; do
    if [ -n "$folder" ] && [ ! -x "$folder/osslsigncode" ]; then
        fail "no osslsigncode in $folder: run scripts/install-deps.sh"
        continue
    fi
    for row in "encrypted.key::is encrypted: give its pass phrase with --sign-pass-file" \
        "encrypted.key:wrong-pass-phrase:signing failed: osslsigncode: " \
        "stranger.key::signing failed: osslsigncode: " "encrypted.key:pass-phrase:"; do
        IFS=: read -r key pass_file reason <<<"$row"
        what="${folder:-osslsigncode on PATH}, $key${pass_file:+ with $pass_file}"
        rm -rf keyed && mkdir keyed
        exec 7<>terminal-input
        # A guard against a prompt that waits for ever, not a measure of Wine's speed.
        PATH=${folder:+$folder:}$PATH timeout 600 script -qec "$(printf '%q ' "$pack" \
            -o keyed/stub.exe "${signing[@]:0:6}" --sign-key "$key" \
            ${pass_file:+--sign-pass-file "$pass_file"})" /dev/null <&7 >terminal.log
        status=$?
        exec 7>&-
        tr -d '\r' <terminal.log >terminal.lines
        if [ -z "$reason" ]; then
            [ "$status" -eq 0 ] && osslsigncode verify -CAfile signer.crt -in keyed/stub.exe \
                >/dev/null 2>&1 || fail "$what: not signed ($status): $(cat terminal.lines)"
        else
            [ "$status" -eq 1 ] || fail "$what: status $status, not 1: $(cat terminal.lines)"
            [ "$(wc -l <terminal.lines)" -eq 1 ] && grep -qF -- "$reason" terminal.lines ||
                fail "$what: not one line with '$reason': $(cat terminal.lines)"
            [ -z "$(ls -A keyed)" ] || fail "$what: left $(ls -A keyed)"
        fi
    done
done

# The signed stub runs as a user's download would.
mkdir downloads
cp first/stub.exe downloads/
check_stub_run "the signed stub" downloads/stub.exe product.7z

finish
