#!/usr/bin/env bash
# Everything CI checks, from a fresh Debian 12 machine on: installs what is missing, builds the
# Windows program and its unit-test programs and the native build of the pure code, runs the
# unit tests (under Wine, and natively with sanitizers), checks the Windows program's imports and
# the formatting, and plays the end-to-end scenarios under Wine. Exits non-zero when any step
# fails.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"
# shellcheck source=run.sh
source "$ROOT/run.sh"
set +e  # run.sh sets -e for itself; here a failed step is counted and the next one runs

# The code that makes no platform call, built natively with ASan and UBSan.
PURE_BUILD="$ROOT/build/pure"
# wine64 beside wine32: the unit tests and the scenarios play on 32-bit Windows and on 64-bit
# Windows (WoW64) alike.
PACKAGES=(cmake g++ make libgtest-dev googletest g++-mingw-w64-i686
          g++-mingw-w64-i686-posix wine wine32:i386 wine64
          python3 iproute2 openssl clang-format util-linux clang libclang-rt-14-dev
          git unzip fakeroot osslsigncode softhsm2 libengine-pkcs11-openssl)
# What skelvane.exe may import at start: KnownDLLs, which Windows always takes from the system
# folder (extend the list when the tool needs another one). Never libstdc++, libgcc or
# winpthread: the program is static.
KNOWN_DLLS="kernel32 ntdll advapi32 msvcrt ws2_32 shell32 user32 gdi32 ole32 oleaut32 shlwapi"
# The DLLs it delay-loads, each from the system folder on first use (cmake/windows.cmake):
# exactly these, sorted.
DELAY_LOADED_DLLS="crypt32 shell32 version winhttp"

failed=()
timings=()
STARTED=$SECONDS

# step NAME COMMAND...: runs one step, times it, and records a failure.
step() {
    local name="$1" started=$SECONDS
    shift
    echo "=== $name"
    if "$@"; then
        timings+=("$name: $((SECONDS - started)) s")
    else
        timings+=("$name: $((SECONDS - started)) s, FAILED")
        failed+=("$name")
    fi
}

build_pure() {
    cmake -S "$ROOT" -B "$PURE_BUILD" -DSKELVANE_SANITIZE=ON -DSKELVANE_WERROR=ON &&
        cmake --build "$PURE_BUILD" -j2
}

pure_unit_tests() {
    ctest --test-dir "$PURE_BUILD" --output-on-failure -j2
}

# The unit tests that run as a Windows program under Wine, against the real platform: the i686
# build in a 32-bit and in a 64-bit (WoW64) prefix where 32-bit code runs, the x86_64 build under
# wine64 where it does not (cmake/windows_tests.cmake).
WINDOWS_TEST_BUILD="$ROOT/build/wintest"
windows_unit_tests() {
    local toolchain=mingw-i686-posix
    if ! can_run_32bit; then
        toolchain=mingw-x86_64-posix
        install_missing g++-mingw-w64-x86-64-posix || return 1
    fi
    cmake -S "$ROOT" -B "$WINDOWS_TEST_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain.cmake" \
        -DSKELVANE_WINDOWS_TESTS=ON -DSKELVANE_WERROR=ON >/dev/null &&
        cmake --build "$WINDOWS_TEST_BUILD" -j2 &&
        ctest --test-dir "$WINDOWS_TEST_BUILD" --output-on-failure -j2
}

check_imports() {
    local dlls dll delayed bad=0
    dlls="$(i686-w64-mingw32-objdump -p "$WINDOWS_BUILD/skelvane.exe" |
            sed -n 's/^[[:space:]]*DLL Name: //p')" || return 1
    [ -n "$dlls" ] || { echo "no imports found in skelvane.exe"; return 1; }
    for dll in $dlls; do
        dll="${dll,,}"
        if [[ " $(echo $KNOWN_DLLS) " != *" ${dll%.dll} "* ]]; then
            echo "skelvane.exe imports $dll at start, which is not a KnownDLL"
            bad=1
        fi
    done
    # objdump (binutils 2.40) shows only the import table above; the delay imports are read here.
    delayed="$(python3 "$ROOT/cmake/delay_imports.py" list "$WINDOWS_BUILD/skelvane.exe" |
               sed 's/\.dll:.*//I' | tr 'A-Z' 'a-z' | LC_ALL=C sort | tr '\n' ' ')" || return 1
    delayed="${delayed% }"
    if [ "$delayed" != "$DELAY_LOADED_DLLS" ]; then
        echo "skelvane.exe delay-loads '$delayed', expected '$DELAY_LOADED_DLLS'"
        bad=1
    fi
    [ $bad -eq 0 ] && echo "imports at start: $(echo $dlls); delay-loaded: $delayed"
    return $bad
}

# The Windows program stays small: stripped, at most 192 KiB.
check_size() {
    local most=196608 stripped size
    stripped="$(mktemp)" || return 1
    i686-w64-mingw32-strip -o "$stripped" "$WINDOWS_BUILD/skelvane.exe" &&
        size="$(stat -c %s "$stripped")"
    rm -f "$stripped"
    [ -n "$size" ] || return 1
    echo "skelvane.exe stripped: $size bytes (at most $most)"
    [ "$size" -le "$most" ]
}

check_format() {
    local sources
    if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
        mapfile -t sources < <(git -C "$ROOT" ls-files -co --exclude-standard '*.cpp' '*.h' '*.c')
    else
        mapfile -t sources < <(find app report trust net cache platform tests \
            \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) 2>/dev/null)
    fi
    [ ${#sources[@]} -gt 0 ] || { echo "no sources found"; return 1; }
    clang-format --dry-run --Werror "${sources[@]}" && echo "${#sources[@]} files formatted"
}

# The Wine leg plays the product (i686) where the machine can execute 32-bit code, and the
# x86_64 build of the same code under wine64 where it cannot.
WINE_PROGRAM="$WINDOWS_BUILD/skelvane.exe"
build_wine_program() {
    if can_run_32bit; then
        echo "the Wine leg plays the i686 build"
        return 0
    fi
    echo "this machine cannot execute 32-bit code: the Wine leg plays the x86_64 build (wine64)"
    WINE_PROGRAM="$WINDOWS64_BUILD/skelvane.exe"
    install_missing wine64 g++-mingw-w64-x86-64 && build_windows64
}

# Every fuzz target for a few seconds on its seeds and regression inputs (tests/fuzz/README.md).
fuzz_smoke() {
    "$ROOT/tests/fuzz/run.sh" 5
}

# Every scenario on each leg the program plays: win32 and wow64 for the i686 program, at once.
end_to_end() {
    python3 "$ROOT/tests/e2e/run.py" --wine "$WINE_PROGRAM"
}

# The release: reproducible bytes, the signature, the package.
# shellcheck source=tests/release/checks.sh
source "$ROOT/tests/release/checks.sh"

step "install" install_missing "${PACKAGES[@]}"
step "native build of the pure code" build_pure
step "windows build" build_windows
step "program for the Wine leg" build_wine_program
if [ ${#failed[@]} -eq 0 ]; then
    step "unit tests of the pure code" pure_unit_tests
    step "unit tests under Wine" windows_unit_tests
    step "imports of skelvane.exe" check_imports
    step "size of skelvane.exe" check_size
    step "reproducible release" check_reproducible
    step "signed release" check_signing
    step "formatting" check_format
    step "fuzz smoke" fuzz_smoke
    step "end-to-end" end_to_end
else
    step "formatting" check_format
fi

echo "=== summary"
printf '%s\n' "${timings[@]}" "test.sh: $((SECONDS - STARTED)) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]}"
    exit 1
fi
echo "test.sh: all steps passed"
