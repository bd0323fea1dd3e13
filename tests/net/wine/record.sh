#!/bin/sh
# Records how Wine's crypt32 renders the test files: builds render_text.c with mingw-w64, runs it
# under Wine in a prefix of its own and writes tests/net/data/render/wine-renderings.txt, which
# the stand-in's unit test compares with. Run again when the file list changes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../data"
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
i686-w64-mingw32-gcc -Wall -Wextra -Werror -O1 -o "$work/render_text.exe" "$here/render_text.c" -lcrypt32
cd "$data"
# The order is the one the unit test reads the sections in.
WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    wine "$work/render_text.exe" render/odd-names.der service-server.der thawte-rsa-ca-2018.der \
    thawte-primary-root-ca-g3.der digicert-global-root-ca.der render/bytes1.bin \
    render/bytes48.bin render/bytes49.bin render/bytes100.bin </dev/null 2>/dev/null |
    tr -d '\r' >"$work/renderings.txt"
mv "$work/renderings.txt" render/wine-renderings.txt
