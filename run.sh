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
# The same program built for x86_64, for a machine whose kernel cannot execute 32-bit code (Wine
# then has only its 64-bit loader).
WINDOWS64_BUILD="$ROOT/build/win64"
# The tool's own Wine prefix, kept in the build folder and initialised on first use.
RUN_PREFIX="$ROOT/build/wineprefix"

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

build_windows64() {
    cmake -S "$ROOT" -B "$WINDOWS64_BUILD" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" -DSKELVANE_WERROR=ON "$@"
    cmake --build "$WINDOWS64_BUILD" -j2
}

# Some kernels (PVM guests among them) refuse every 32-bit program: Wine's 32-bit loader then
# fails with "Exec format error".
can_run_32bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Installs and builds what this machine can run under Wine; prints the program's path.
prepare_wine_program() {
    if can_run_32bit; then
        build_windows >/dev/null
        echo "$WINDOWS_BUILD/skelvane.exe"
    else
        echo "This machine cannot execute 32-bit code: running the x86_64 build under wine64." >&2
        install_missing wine64 g++-mingw-w64-x86-64 >&2
        build_windows64 >/dev/null
        echo "$WINDOWS64_BUILD/skelvane.exe"
    fi
}

# Runs the program in the tool's own prefix, made on first use; the launcher picks wine or wine64
# for it. The log lands beside the program: build/windows/skelvane.txt (build/win64/ for x86_64).
run_under_wine() {
    exec bash "$ROOT/tests/support/windows/run_under_wine.sh" run "$RUN_PREFIX" "$@"
}

main() {
    # wine64 beside wine32: a new prefix is then 64-bit Windows, where the program runs in WoW64
    # as on most users' machines.
    install_missing cmake make g++-mingw-w64-i686 python3 wine wine32:i386 wine64
    local program
    program="$(prepare_wine_program)"
    run_under_wine "$program" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
