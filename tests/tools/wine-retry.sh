#!/usr/bin/env bash
# SPDX-License-Identifier: Zlib
# Runs a Windows program under Wine, as tools/pack-stub runs the packer, for the packer's tests:
#   wine-retry.sh WINE_RUN PREFIX PROGRAM [ARGS...]
# Under load, Wine now and then loses a new process's connection to its server
# ("wine client error:0: recvmsg: Connection reset by peer"); such a run is made again, up to
# three times in all. The program runs as this script's child, and its status is this one's.
wine_run=$1 prefix=$2
shift 2
errors=$(mktemp) || exit 1
trap 'rm -f -- "$errors"' EXIT
for _ in 1 2 3; do
    "$wine_run" "$prefix" "$@" 2>"$errors"
    status=$?
    grep -q '^wine client error:[0-9a-f]*: recvmsg' "$errors" || break
done
cat -- "$errors" >&2
exit "$status"
