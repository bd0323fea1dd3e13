#!/usr/bin/env bash
# Makes the package a support team hands out: builds skelvane.exe (build/windows) and packs it
# with its readme into build/windows/release/skelvane-<version>-win32.zip, with SHA256SUMS and
# BUILDINFO beside it. The copy in the zip is signed when the environment names a key (see
# README.md, "Release package"). Two runs at the same commit give the same zip, wherever and
# whenever they run. On a fresh Debian 12 machine it first installs what is missing.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=run.sh
source "$ROOT/run.sh"

release() {
    install_missing cmake make g++-mingw-w64-i686 git
    # Not as root, the zip is made under fakeroot: its entries then name root as their owner.
    [ "$(id -u)" -eq 0 ] || install_missing fakeroot
    if [ -n "${SKELVANE_SIGN_PKCS12:-}${SKELVANE_SIGN_KEY:-}" ]; then
        install_missing osslsigncode
    fi
    build_windows >/dev/null
    cmake --build "$WINDOWS_BUILD" --target release
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    release
fi
