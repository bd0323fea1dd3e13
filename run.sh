#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine; the arguments go to the tool.
#   ./run.sh            a normal run
#   ./run.sh /fix       import the reference root, then the checks
#   ./run.sh /pkiclean  empty the PKI cache
# On a fresh Debian 12 machine it first installs what is missing. test.sh sources this file for
# its functions.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WINDOWS_BUILD="$ROOT/build/windows"
# The tool's own Wine prefix, kept in the build folder and initialised on first use.
RUN_PREFIX="$ROOT/build/wineprefix"
WINE_SETTINGS=(WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

# install_missing PACKAGE...: installs those that dpkg does not list as installed.
install_missing() {
    local missing=() package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [[ " ${missing[*]} " == *":i386 "* ]] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        "${missing[@]}"
}

build_windows() {
    cmake -S "$ROOT" -B "$WINDOWS_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DSKELVANE_WERROR=ON "$@"
    cmake --build "$WINDOWS_BUILD" -j2
}

run_under_wine() {
    if [ ! -f "$RUN_PREFIX/system.reg" ]; then
        echo "Initialising the Wine prefix $RUN_PREFIX (once, about 10 s)"
        env WINEPREFIX="$RUN_PREFIX" "${WINE_SETTINGS[@]}" wineboot -i >/dev/null 2>&1
        env WINEPREFIX="$RUN_PREFIX" "${WINE_SETTINGS[@]}" wineserver -w
    fi
    # The log lands beside the program: build/windows/skelvane.txt.
    exec env WINEPREFIX="$RUN_PREFIX" "${WINE_SETTINGS[@]}" wine "$WINDOWS_BUILD/skelvane.exe" "$@"
}

main() {
    install_missing cmake make g++-mingw-w64-i686 wine wine32:i386
    build_windows >/dev/null
    run_under_wine "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
