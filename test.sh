#!/usr/bin/env bash
# Everything CI checks, from a fresh Debian 12 machine on: installs what is missing, configures
# and builds each build tree, and runs every check as a ctest test over all of them (build/,
# whose CTestTestfile.cmake this script writes: the trees below it, and the fixtures that make
# each kind of template Wine prefix once). Exits non-zero when anything fails.
#
# The trees: build/pure (native, the pure code with ASan and UBSan; labels pure, static),
# build/windows (the product: static, release, e2e), build/wintest (the unit-test programs under
# Wine: unit), build/fuzz (clang, the fuzz targets: fuzz); build/win64 too where 32-bit code
# cannot run (the x86_64 build, whose scenarios play the win64 leg). Every Wine test is labelled
# with its leg: win32, wow64 (or win64).
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"
# shellcheck source=run.sh
source "$ROOT/run.sh"
set +e  # run.sh sets -e for itself; here a failed build is counted and the next one runs

BUILD="$ROOT/build"
LAUNCHER="$ROOT/tests/support/windows/run_under_wine.sh"
# wine64 beside wine32: the unit tests and the scenarios play on 32-bit Windows and on 64-bit
# Windows (WoW64) alike.
PACKAGES=(cmake g++ make libgtest-dev googletest g++-mingw-w64-i686
          g++-mingw-w64-i686-posix wine wine32:i386 wine64
          python3 iproute2 openssl clang-format util-linux clang libclang-rt-14-dev
          git unzip fakeroot osslsigncode softhsm2 libengine-pkcs11-openssl)
STARTED=$SECONDS
failed=()
timings=()

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

# configure_and_build FOLDER CMAKE-ARGUMENTS...
configure_and_build() {
    local folder="$1"
    shift
    cmake -S "$ROOT" -B "$BUILD/$folder" -DSKELVANE_WERROR=ON "$@" >/dev/null &&
        cmake --build "$BUILD/$folder" -j2
}

# The prefix kinds the Wine tests use, and the trees: the i686 programs play on 32-bit and on
# 64-bit Windows where 32-bit code runs, the x86_64 build of the same code under wine64 where it
# does not.
KINDS=(win32 win64)
TREES=(pure windows wintest fuzz)
build_all() {
    local status=0 test_toolchain=mingw-i686-posix e2e_legs="win32;wow64"
    if ! can_run_32bit; then
        echo "this machine cannot execute 32-bit code: the Wine tests play the x86_64 build"
        install_missing wine64 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix || return 1
        KINDS=(win64)
        TREES=(pure windows win64 wintest fuzz)
        test_toolchain=mingw-x86_64-posix
        e2e_legs=""
        configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
            -DSKELVANE_TESTS=ON || status=1
    fi
    configure_and_build pure -DSKELVANE_SANITIZE=ON || status=1
    configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DSKELVANE_TESTS=ON "-DSKELVANE_E2E_LEGS=$e2e_legs" || status=1
    configure_and_build wintest -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$test_toolchain.cmake" \
        -DSKELVANE_WINDOWS_TESTS=ON || status=1
    CC=clang CXX=clang++ configure_and_build fuzz -DSKELVANE_FUZZ=ON || status=1
    return $status
}

# build/CTestTestfile.cmake: one ctest run over every tree, so that `ctest --test-dir build -L
# e2e -R pkiclean` works, and one fixture per prefix kind, shared by the unit tests, the
# scenarios and the signed release's run.
join_trees() {
    local kind tree
    {
        echo "# Written by test.sh: every build tree's tests, and the template Wine prefixes."
        for kind in "${KINDS[@]}"; do
            echo "add_test(wine_template_$kind \"bash\" \"$LAUNCHER\" \"template\" \"$kind\")"
            echo "set_tests_properties(wine_template_$kind PROPERTIES" \
                 "FIXTURES_SETUP wine_template_$kind LABELS \"fixture\" TIMEOUT 300)"
        done
        for tree in "${TREES[@]}"; do
            echo "subdirs(\"$tree\")"
        done
    } >"$BUILD/CTestTestfile.cmake"
}

# One more at a time than the machine has cores: a Wine test is mostly waiting for Wine to start
# (on 2 cores: -j2 393 s, -j3 266 s, -j4 241 s but each test slower), and each plays alone (a
# prefix copy, a wineserver and a network namespace of its own).
run_tests() {
    ctest --test-dir "$BUILD" --output-on-failure -j "$(($(nproc) + 1))"
}

step "install" install_missing "${PACKAGES[@]}"
step "configure and build" build_all
join_trees
if [ ${#failed[@]} -eq 0 ]; then
    step "ctest" run_tests
elif [ -f "$BUILD/pure/CTestTestfile.cmake" ]; then
    step "ctest: formatting alone, as a build failed" ctest --test-dir "$BUILD" -R '^static_format$'
fi

echo "=== summary"
printf '%s\n' "${timings[@]}" "test.sh: $((SECONDS - STARTED)) s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]}"
    exit 1
fi
echo "test.sh: all steps passed"
