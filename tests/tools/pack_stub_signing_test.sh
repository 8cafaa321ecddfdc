#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Signs a packed stub with a throwaway certificate: the signature verifies against that
# certificate and no other, signing again elsewhere later gives the same bytes, and the signed
# stub still runs under Wine and installs with the setup fixture. Keys it cannot use fail at once,
# also on a terminal, with osslsigncode on PATH and with the one in each SIGNER_FOLDER. A key in a
# SoftHSM2 token, time stamps from an authority of the test's own on 127.0.0.1 and signing
# commands sign too, or fail with one line and no OUT; the Windows packer runs signing commands
# through cmd.exe.
#   pack_stub_signing_test.sh PACK_STUB SETUP_FIXTURE WINE_RUN PREFIX [SIGNER_FOLDER...]
#   (PACK_STUB_BUILD_DIR names the build tree; PACK_STUB_WINDOWS, when set, the Windows packer's
#   launcher)
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

# The test's own time-stamp authorities on 127.0.0.1, one that answers, one that answers garbage
# and one that never answers, and a SoftHSM2 token in a folder of this run with an RSA key made in it and a
# certificate for that key, in a file and in the token.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
authorities=()
trap 'kill "${authorities[@]}" 2>/dev/null; rm -rf -- "$scratch"' EXIT
mkdir tsa tokens
openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa/tsa.key -out tsa/tsa.crt -days 2 \
    -subj "/CN=pack-stub test authority" -addext "extendedKeyUsage=critical,timeStamping" \
    >/dev/null 2>&1 || fail "openssl: no authority certificate"
for mode in answer garbage other silent; do
    python3 "$here/time-stamp-authority.py" "$scratch/tsa" "$scratch/tsa/$mode.port" "$mode" &
    authorities+=($!)
done
for mode in answer garbage other silent; do
    for _ in $(seq 300); do [ -s "tsa/$mode.port" ] && break || sleep 0.1; done
done
stamping=http://127.0.0.1:$(cat tsa/answer.port)/
garbage=http://127.0.0.1:$(cat tsa/garbage.port)/
other=http://127.0.0.1:$(cat tsa/other.port)/
silent=http://127.0.0.1:$(cat tsa/silent.port)/
down=http://127.0.0.1:1/
module=/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$scratch/tokens" >softhsm2.conf
export SOFTHSM2_CONF=$scratch/softhsm2.conf
key_uri="pkcs11:token=codesign;object=signkey;type=private"
echo 1234 >pin && echo 4321 >wrong-pin
{ softhsm2-util --init-token --free --label codesign --pin 1234 --so-pin 5678 &&
    pkcs11-tool --module "$module" --token-label codesign --login --pin 1234 --keypairgen \
        --key-type rsa:2048 --label signkey --id 01 &&
    openssl req -new -x509 -engine pkcs11 -keyform engine -key "$key_uri;pin-value=1234" \
        -out token.crt -days 2 -subj "/CN=pack-stub test token signer" &&
    openssl x509 -in token.crt -outform DER -out token.der &&
    pkcs11-tool --module "$module" --token-label codesign --login --pin 1234 \
        --write-object token.der --type cert --label signkey --id 01; } >token.log 2>&1 ||
    fail "no SoftHSM2 token: $(tail -n 1 token.log)"
[ "$failures" -eq 0 ] || finish
# A 7z archive as far as packing looks, so that signing gives the only warnings; where its bytes
# lie in the image, for a signer that changes one of them.
{ printf '7z\274\257\047\034' && cat product.7z; } >archive.7z
payload=(--archive "$scratch/archive.7z" --setup "$fixture")
"$pack" -o unsigned.exe "${payload[@]}" >/dev/null 2>&1 || fail "packing unsigned failed"
payload_at=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().find(open(sys.argv[2], "rb").read(64)))' unsigned.exe archive.7z)
flip="python3 -c 'import sys; f = open(sys.argv[1], \"r+b\"); f.seek($payload_at); b = f.read(1); f.seek($payload_at); f.write(bytes([b[0] ^ 1]))'"
signs="osslsigncode sign -certs $scratch/signer.crt -key $scratch/signer.key"
token=(--sign-key "$key_uri" --sign-pkcs11-module "$module" --sign-pass-file pin)
signing=("${payload[@]}" "${signing[@]:4}")

# sign_row WHAT EXPECT CERT ENVIRONMENT ARGUMENTS...: packs with ARGUMENTS under ENVIRONMENT
# (VAR=VALUE..., or -). EXPECT: "unstamped" signed with CERT and one warning that there is no time
# stamp; "stamped" signed and time-stamped by the test's authority, not a word on stderr; anything
# else the one line of a refusal, status 1, no OUT.
sign_row() {
    local what=$1 expect=$2 cert=$3 environment=$4 status
    shift 4
    [ "$environment" = - ] && environment=
    rm -rf rows && mkdir rows
    # shellcheck disable=SC2086
    env $environment "$pack" -o rows/stub.exe "$@" >stdout 2>stderr
    status=$?
    case $expect in
    unstamped | stamped)
        [ "$status" -eq 0 ] || { fail "$what: status $status: $(cat stderr)" && return; }
        osslsigncode verify -CAfile "$cert" -TSA-CAfile tsa/tsa.crt -in rows/stub.exe \
            >verify.log 2>&1 || fail "$what: does not verify: $(grep -m1 -i fail verify.log)"
        if [ "$expect" = stamped ]; then
            grep -q 'Timestamp Server Signature verification: ok' verify.log ||
                fail "$what: no time stamp of the test's authority"
        else
            grep -q 'Timestamp Server Signature' verify.log && fail "$what: a time stamp nobody asked for"
        fi
        if [ "$expect" = unstamped ]; then
            [ "$(wc -l <stderr)" -eq 1 ] && grep -q 'warning: the signature has no time stamp' stderr ||
                fail "$what: not one warning that there is no time stamp: $(cat stderr)"
        else
            [ ! -s stderr ] || fail "$what: said $(cat stderr)"
        fi
        ;;
    *)
        [ "$status" -eq 1 ] || fail "$what: status $status, not 1: $(cat stderr)"
        [ "$(wc -l <stderr)" -eq 1 ] && grep -qF -- "$expect" stderr ||
            fail "$what: not one line with '$expect': $(cat stderr)"
        [ -z "$(ls -A rows)" ] || fail "$what: left $(ls -A rows)"
        ;;
    esac
}

for folder in "" "${signer_folders[@]}"; do
    [ -z "$folder" ] || [ -x "$folder/osslsigncode" ] || continue
    export PATH=${folder:+$folder:}$PATH
    v="(${folder:-osslsigncode on PATH})"
    sign_row "a key in the token $v" unstamped token.crt - "${payload[@]}" \
        --sign-cert token.crt "${token[@]}"
    sign_row "key and certificate in the token $v" unstamped token.crt SOURCE_DATE_EPOCH=1765000000 \
        "${payload[@]}" --sign-cert "pkcs11:token=codesign;object=signkey;type=cert" "${token[@]}"
    sign_row "certificate in the token, no signing time $v" \
        "set SOURCE_DATE_EPOCH or give --sign-timestamp URL" token.crt - "${payload[@]}" \
        --sign-cert "pkcs11:token=codesign;object=signkey;type=cert" "${token[@]}"
    sign_row "a wrong PIN $v" "the token refused the PIN in --sign-pass-file wrong-pin" token.crt - \
        "${payload[@]}" --sign-cert token.crt "${token[@]:0:4}" --sign-pass-file wrong-pin
    sign_row "no such key $v" "--sign-key pkcs11:token=codesign;object=gone;type=private: no such key" \
        token.crt - "${payload[@]}" --sign-cert token.crt "${token[@]:2}" \
        --sign-key "pkcs11:token=codesign;object=gone;type=private"
    sign_row "a module that does not load $v" "--sign-pkcs11-module $scratch/pin: the module does not load" \
        token.crt - "${payload[@]}" --sign-cert token.crt "${token[@]:0:2}" \
        --sign-pkcs11-module "$scratch/pin" --sign-pass-file pin
    sign_row "time-stamped by the token's key $v" stamped token.crt - "${payload[@]}" \
        --sign-cert token.crt "${token[@]}" --sign-timestamp "$stamping"
    sign_row "authorities down and answering garbage, then one that answers $v" stamped signer.crt - \
        "${signing[@]}" --sign-timestamp "$down" --sign-timestamp "$garbage" --sign-timestamp "$stamping"
    sign_row "no authority answers $v" "no time-stamp authority answered with a time stamp" signer.crt - \
        "${signing[@]}" --sign-timestamp "$down" --sign-timestamp "$garbage"
    sign_row "an authority answering another request, then one that answers $v" stamped signer.crt - \
        "${signing[@]}" --sign-timestamp "$other" --sign-timestamp "$stamping"
    sign_row "only an authority answering another request $v" \
        "$other: its time stamp is not over this signature" signer.crt - "${signing[@]}" \
        --sign-timestamp "$other"
    sign_row "--strict and no time stamp $v" "(--strict fails the pack on every warning)" signer.crt - \
        "${signing[@]}" --strict
    sign_row "--strict with a time stamp $v" stamped signer.crt - "${signing[@]}" --strict \
        --sign-timestamp "$stamping"
    sign_row "a command that signs {in} into {out} $v" stamped signer.crt - "${payload[@]}" \
        --sign-command "$signs -ts $stamping -in {in} -out {out} >/dev/null"
    sign_row "a command that changes a payload byte $v" "it changed the image at byte $payload_at" \
        signer.crt - "${payload[@]}" --sign-command "$signs -in {in} -out {out} && $flip {out}"
    sign_row "a command that appends bytes $v" "data follows its certificate table" signer.crt - \
        "${payload[@]}" --sign-command "$signs -in {in} -out {out} && echo more >>{out}"
done
sign_row "an authority that never answers" "did not finish within 3 seconds" signer.crt \
    PACK_STUB_SIGN_TIMEOUT=3 "${signing[@]}" --sign-timestamp "$silent" --sign-timestamp "$stamping"
# Another image's signature, moved onto this one as a signer would add its own: the table is
# where it belongs, but its digest is not this image's.
"$pack" -o other.exe --archive product.7z --setup "$fixture" >/dev/null 2>&1 &&
    $signs -in other.exe -out other-signed.exe >/dev/null || fail "no other signed image"
cat >transplant.py <<'PYTHON'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
donor = open(sys.argv[2], "rb").read()
pe = struct.unpack_from("<I", image, 0x3C)[0]
entry = pe + 24 + 112 + 4 * 8
at, size = struct.unpack_from("<II", donor, entry)
image += bytes(-len(image) % 8)
struct.pack_into("<II", image, entry, len(image), size)
open(sys.argv[3], "wb").write(image + donor[at:at + size])
PYTHON
sign_row "a command that returns another image's signature" "its digest does not match the file" \
    signer.crt - "${payload[@]}" --sign-command "python3 transplant.py {in} other-signed.exe {out}"
sign_row "a command that signs nothing" "it added no signature" signer.crt - "${payload[@]}" \
    --sign-command "cp {in} {out}"
sign_row "a command that fails" "signing failed: echo: the signing service said no" signer.crt - \
    "${payload[@]}" --sign-command "echo the signing service said no >&2; exit 1 # {file}"
sign_row "a command that is not there" "signing failed: no-such-signer: " signer.crt - \
    "${payload[@]}" --sign-command "no-such-signer {file}"
sign_row "a command that hangs" "signing failed: sleep did not finish within 2 seconds" signer.crt \
    PACK_STUB_SIGN_TIMEOUT=2 "${payload[@]}" --sign-command "sleep 3599 # {file}"
pgrep -f 'sleep 3599' >/dev/null && fail "the command that hung was left running"

# The Windows packer runs a signing command through cmd.exe and checks what it returns. No
# Windows signer is at hand under Wine, and a Linux program started from there is not waited
# for, so cmd's own copy stands in for one: it returns this very image signed beforehand by
# osslsigncode (both packers write the same bytes), or that image with a payload byte changed.
if [ -n "${PACK_STUB_WINDOWS:-}" ]; then
    $signs -in unsigned.exe -out presigned.exe >/dev/null &&
        cp presigned.exe pretampered.exe && eval "$flip pretampered.exe" ||
        fail "no image signed beforehand"
    pack=$PACK_STUB_WINDOWS
    sign_row "Windows: a command that returns the image signed" unstamped signer.crt - \
        "${payload[@]}" --sign-command "copy /b $(windows_path "$scratch/presigned.exe") {out} >NUL & rem {in}"
    sign_row "Windows: a command that changes a payload byte" "it changed the image at byte $payload_at" \
        signer.crt - "${payload[@]}" \
        --sign-command "copy /b $(windows_path "$scratch/pretampered.exe") {out} >NUL & rem {in}"
    sign_row "Windows: a command that fails" "signing failed: echo: no signer here" signer.crt - \
        "${payload[@]}" --sign-command "echo no signer here & exit /b 1 & rem {file}"
    sign_row "Windows: a command that hangs" "signing failed: ping did not finish within 5 seconds" \
        signer.crt PACK_STUB_SIGN_TIMEOUT=5 "${payload[@]}" \
        --sign-command "ping -n 3599 127.0.0.1 >NUL & rem {file}"
fi

# The signed stub runs as a user's download would.
mkdir downloads
cp first/stub.exe downloads/
check_stub_run "the signed stub" downloads/stub.exe product.7z

finish
