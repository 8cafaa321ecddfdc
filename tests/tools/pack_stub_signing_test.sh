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
