#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for SECONDS (default 60)
# on its seeds and its regression inputs. A crash stops that target, leaves the input in
# tests/fuzz/regressions/<target>/ and makes the exit code non-zero.
#
#   tests/fuzz/run.sh [--no-build] [SECONDS] [TARGET...]   (targets: tests/fuzz/fuzz.cmake's list)
#
# --no-build runs what is built (ctest's fuzz tests, each a target for a few seconds).
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${SKELVANE_FUZZ_BUILD:-$ROOT/build/fuzz}"
FUZZ="$ROOT/tests/fuzz"
build=1
if [ "${1:-}" = --no-build ]; then
    build=0
    shift
fi
seconds="${1:-60}"
shift || true

if [ $build -eq 1 ]; then
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DSKELVANE_FUZZ=ON -DSKELVANE_WERROR=ON \
        >/dev/null || exit 1
    cmake --build "$BUILD" -j2 --target fuzz_targets >/dev/null || exit 1
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(sed -n '/^set(SKELVANE_FUZZ_TARGETS/,/^)/{/^  /s/^ *//p}' \
        "$FUZZ/fuzz.cmake")
fi

failed=0
for target in "${targets[@]}"; do
    work="$(mktemp -d)"  # what the run finds beyond the seeds stays out of the tree
    mkdir -p "$FUZZ/regressions/$target"
    if "$BUILD/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=0 \
        -artifact_prefix="$FUZZ/regressions/$target/" \
        "$work" "$FUZZ/corpus/$target" "$FUZZ/regressions/$target" >"$work.log" 2>&1; then
        echo "fuzz $target: $(grep -o 'Done [0-9]* runs' "$work.log" | tail -1), no crash"
    else
        echo "fuzz $target: FAILED"
        grep -E 'ERROR|SUMMARY|Test unit written' "$work.log" | head -5
        failed=1
    fi
    rm -rf "$work" "$work.log"
done
exit $failed
