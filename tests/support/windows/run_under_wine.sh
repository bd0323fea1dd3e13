#!/usr/bin/env bash
# Runs one Windows test program under Wine, for ctest:
#   run_under_wine.sh --make-template PREFIX KIND   makes the template prefix once (about 15 s):
#                                                   KIND win32 (32-bit Windows) or win64 (64-bit,
#                                                   where an i686 program runs in WoW64)
#   run_under_wine.sh PREFIX PROGRAM [ARGS...]      runs PROGRAM in a fresh copy of PREFIX
# Each run gets a prefix of its own (registry, drive C:) and a wineserver of its own, started in
# a network namespace with only a loopback interface (as root; elsewhere the host's network),
# so tests never share state and nothing leaves the machine. With SKELVANE_WINE_NETLAB set, that
# namespace is a network lab with a TLS server (tests/e2e/netlab.py). The copy shares the template's
# program files (hard links) and copies everything a test may change.
set -euo pipefail

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The loader for a program's machine type: the i686 program under wine, the x86_64 one under
# wine64 (a machine that cannot execute 32-bit code has only that).
loader_for() {
    local machine
    machine="$(od -An -tx1 -j "$(($(od -An -tu4 -j60 -N4 "$1") + 4))" -N2 "$1" | tr -d ' ')"
    case "$machine" in
        4c01) echo wine ;;
        6486) echo /usr/lib/wine/wine64 ;;
        *) echo "run_under_wine.sh: $1 is no Windows program ($machine)" >&2; return 1 ;;
    esac
}

make_template() {
    local prefix="$1" kind="$2" loader=wine
    case "$kind" in
        win32 | win64) ;;
        *) echo "run_under_wine.sh: no prefix kind '$kind' (win32 or win64)" >&2; return 1 ;;
    esac
    if [ -f "$prefix/system.reg" ]; then
        grep -qx "#arch=$kind" "$prefix/system.reg" && return 0
        echo "run_under_wine.sh: $prefix is no $kind prefix: made anew" >&2
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 || loader=/usr/lib/wine/wine64
    rm -rf "$prefix" "$prefix.new"
    # With wine64 installed a new prefix is 64-bit unless WINEARCH says otherwise.
    WINEARCH="$kind" WINEPREFIX="$prefix.new" WINELOADER="$loader" "$loader" wineboot -i \
        >/dev/null 2>&1
    WINEPREFIX="$prefix.new" wineserver -w
    grep -qx "#arch=$kind" "$prefix.new/system.reg" || {
        echo "run_under_wine.sh: wineboot made no $kind prefix (is wine64 installed?)" >&2
        return 1
    }
    mv "$prefix.new" "$prefix"
}

# Program files are shared; every other file (registry, hosts file, settings) is copied.
copy_prefix() {
    local template="$1" copy="$2"
    cp -al "$template" "$copy"
    find "$copy" -type f ! -iregex '.*\.\(dll\|exe\|drv\|sys\|ocx\|cpl\|acm\|tlb\|ax\|ds\|vxd\|com\|nls\)' \
        -print0 | while IFS= read -r -d '' file; do
        cp --remove-destination "$(realpath --relative-to="$copy" "$file" | sed "s|^|$template/|")" \
            "$file"
    done
}

if [ "${1:-}" = --make-template ]; then
    make_template "$2" "${3:-}"
    exit
fi

template="$1" program="$2"
shift 2
loader="$(loader_for "$program")"
work="$(mktemp -d)"
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
copy_prefix "$template" "$work/prefix"

run=(env WINEPREFIX="$work/prefix" WINELOADER="$loader" SKELVANE_TEST_WORK="$work"
     sh -c '"$@"; status=$?; wineserver -k >/dev/null 2>&1; exit $status' sh
     "$loader" "$program" "$@")
if [ -n "${SKELVANE_WINE_NETLAB:-}" ]; then
    # The folder's tests talk to a TLS server: the e2e network lab (its own network and mount
    # namespaces, the vendor's names in its hosts file, its test CAs in the CA bundle).
    run=(python3 "$(dirname "$0")/../../e2e/netlab.py" unit "$work" -- "${run[@]}")
elif [ "$(id -u)" -eq 0 ]; then
    run=(unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${run[@]}")
fi
"${run[@]}" </dev/null
