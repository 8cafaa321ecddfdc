#!/bin/sh
# SPDX-License-Identifier: Zlib
# Links pack-stub @VERSION@ again from the files beside this script, Ondrel's own objects (zlib
# licence), zlib's libz.a (zlib licence) and OpenSSL's libcrypto.a (Apache-2.0), with this machine's
# g++-12, its C++ runtime and the static GNU C Library installed here (libc6-dev on Debian): the
# packer can so be run with another or a modified GNU C Library. With the toolchain this release
# was made with, Debian 12's
@TOOLCHAIN@
# it writes a pack-stub byte for byte the same as the released one.
#   ./relink.sh [-o OUT] [G++ OPTION...]
#     -o OUT       where to write the packer (default: pack-stub in the current folder)
#     G++ OPTION   handed to g++ before the objects: -L DIR, for example, takes libc.a from DIR
#   CXX            the compiler driver (default: g++-12)
set -eu
here=$(cd -- "$(dirname -- "$0")" && pwd)
out=pack-stub
if [ "${1:-}" = -o ]; then
    out=$2
    shift 2
fi
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
# The packer's objects archived as the build archived them, in the same order, so that the link
# takes the same members in the same order.
@ARCHIVES@
"${CXX:-g++-12}" "$@" @LINK@
