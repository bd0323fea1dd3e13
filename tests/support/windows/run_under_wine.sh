#!/usr/bin/env bash
# Starts a Windows program under Wine: the one place that picks the loader (wine or wine64) and
# the prefix, for ./run.sh, the unit tests (ctest), the end-to-end runner and bench/.
#
#   run_under_wine.sh loader PROGRAM            prints the loader for PROGRAM
#   run_under_wine.sh template KIND             makes the template prefix of KIND once and prints
#                                               its path: KIND win32 (32-bit Windows) or win64
#                                               (64-bit, where an i686 program runs in WoW64)
#   run_under_wine.sh copy KIND COPY            makes COPY a fresh prefix of KIND (a copy of the
#                                               template)
#   run_under_wine.sh run PREFIX PROGRAM [ARG...]
#                                               runs PROGRAM in PREFIX, made on first use (of
#                                               Wine's own default kind, or WINEARCH's)
#   run_under_wine.sh test PROGRAM [ARG...]     for ctest: PROGRAM in a fresh copy of the
#                                               template of SKELVANE_WINE_KIND, alone (below)
#
# The loader follows the program's PE machine: the i686 program runs under wine, the x86_64 one
# (for a machine that cannot execute 32-bit code) under wine64. A Windows program of Wine's own,
# named and not a file (regedit, cmd), runs as the prefix's own: 64-bit in a 64-bit prefix (a
# 32-bit regedit would write HKLM\SOFTWARE into WOW6432Node, a view the tool does not read).
#
# The templates are build/wine-templates/<kind> (SKELVANE_WINE_TEMPLATES names another folder):
# ctest's fixtures make each once, a lock keeps two makers from racing, and every test plays in
# a copy. A copy shares the template's program files (hard links: Wine never writes them) and
# copies every other file (registry, hosts file, settings), so tests never share state.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TEMPLATES="${SKELVANE_WINE_TEMPLATES:-$(cd "$HERE/../../.." && pwd)/build/wine-templates}"
WINE64=/usr/lib/wine/wine64
# The caller's settings win (a scenario keeps a DLL from loading through WINEDLLOVERRIDES).
export WINEDEBUG="${WINEDEBUG--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree,mshtml=}"

fail() {
    echo "run_under_wine.sh: $*" >&2
    exit 1
}

# Some kernels (PVM guests among them) refuse every 32-bit program: Wine's 32-bit loader then
# fails with "Exec format error", and only wine64 and x86_64 programs run.
can_run_32bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The kind of an initialised prefix, from its registry's "#arch=" line.
prefix_kind() {
    sed -n 's/^#arch=//p' "$1/system.reg" 2>/dev/null | head -1
}

# loader_for PROGRAM [PREFIX]
loader_for() {
    local program="$1" prefix="${2:-}" machine
    if [ ! -f "$program" ]; then
        # One of Wine's own programs: the prefix's native bitness.
        if ! can_run_32bit || [ "$(prefix_kind "$prefix")" = win64 ]; then
            echo "$WINE64"
        else
            echo wine
        fi
        return
    fi
    machine="$(od -An -tx1 -j "$(($(od -An -tu4 -j60 -N4 "$program") + 4))" -N2 "$program" |
               tr -d ' ')"
    case "$machine" in
        4c01) echo wine ;;
        6486) echo "$WINE64" ;;
        *) fail "$program is no Windows program ($machine)" ;;
    esac
}

# wine_env PREFIX LOADER: the environment of a run in PREFIX with LOADER.
wine_env() {
    export WINEPREFIX="$1"
    # wine64 alone must also start the processes a program starts.
    [ "$2" = wine ] || export WINELOADER="$2"
}

# init_prefix PREFIX [KIND]: wineboot; WINEARCH makes the kind, or Wine's default.
init_prefix() {
    local prefix="$1" kind="${2:-${WINEARCH:-}}" loader=wine
    can_run_32bit || loader="$WINE64"
    (
        [ -z "$kind" ] || export WINEARCH="$kind"
        wine_env "$prefix" "$loader"
        "$loader" wineboot -i >/dev/null 2>&1
        wineserver -w
    )
}

template() {
    local kind="$1" prefix="$TEMPLATES/$1"
    case "$kind" in
        win32 | win64) ;;
        *) fail "no prefix kind '$kind' (win32 or win64)" ;;
    esac
    [ "$kind" = win64 ] || can_run_32bit || fail "this machine cannot execute 32-bit code: no win32 prefix"
    [ "$(prefix_kind "$prefix")" = "$kind" ] && { echo "$prefix"; return; }
    mkdir -p "$TEMPLATES"
    (
        flock 9
        if [ "$(prefix_kind "$prefix")" != "$kind" ]; then
            [ ! -e "$prefix" ] || echo "run_under_wine.sh: $prefix is no $kind prefix: made anew" >&2
            rm -rf "$prefix" "$prefix.new"
            # With wine64 installed a new prefix is 64-bit unless WINEARCH says otherwise.
            init_prefix "$prefix.new" "$kind"
            [ "$(prefix_kind "$prefix.new")" = "$kind" ] ||
                fail "wineboot made no $kind prefix (is wine64 installed?)"
            mv "$prefix.new" "$prefix"
        fi
    ) 9>"$TEMPLATES/.$kind.lock"
    echo "$prefix"
}

# Program files are shared; every other file (registry, hosts file, settings) is copied.
copy() {
    local template copy
    copy="$(realpath -m "$2")"
    template="$(template "$1")"
    [ ! -e "$copy" ] || fail "$copy exists already"
    if ! cp -al "$template" "$copy" 2>/dev/null; then
        # Another file system (a /tmp of its own) has no hard links into build/: a whole copy.
        rm -rf "$copy"
        cp -a --reflink=auto "$template" "$copy"
        return
    fi
    (cd "$template" && find . -type f \
        ! -iregex '.*\.\(dll\|exe\|drv\|sys\|ocx\|cpl\|acm\|tlb\|ax\|ds\|vxd\|com\|nls\)' \
        -exec cp -p --remove-destination --parents -t "$copy" -- {} +)
}

run() {
    local prefix="$1" program="$2" loader
    shift 2
    if [ ! -f "$prefix/system.reg" ]; then
        echo "Initialising the Wine prefix $prefix (once, about 15 s)" >&2
        init_prefix "$prefix"
    fi
    loader="$(loader_for "$program" "$prefix")"
    wine_env "$prefix" "$loader"
    exec "$loader" "$program" "$@"
}

# A unit-test program, for ctest: a prefix of its own and a wineserver of its own, started in a
# network namespace with only a loopback interface (as root; elsewhere the host's network), so
# nothing leaves the machine. With SKELVANE_WINE_NETLAB set, that namespace is a network lab with
# a TLS server (tests/e2e/netlab.py).
test_program() {
    local kind="${SKELVANE_WINE_KIND:?the prefix kind for the test (win32 or win64)}"
    work="$(mktemp -d)"  # global: the trap reads it when the script ends
    trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
    copy "$kind" "$work/prefix"
    local run=(env SKELVANE_TEST_WORK="$work"
               sh -c 'bash "$0" run "$@"; status=$?; wineserver -k >/dev/null 2>&1; exit $status'
               "${BASH_SOURCE[0]}" "$work/prefix" "$@")
    if [ -n "${SKELVANE_WINE_NETLAB:-}" ]; then
        run=(python3 "$HERE/../../e2e/netlab.py" unit "$work" -- "${run[@]}")
    elif [ "$(id -u)" -eq 0 ]; then
        run=(unshare -n sh -c 'ip link set lo up && exec "$@"' sh "${run[@]}")
    fi
    WINEPREFIX="$work/prefix" "${run[@]}" </dev/null
}

command="${1:-}"
shift || true
case "$command" in
    loader) [ $# -ge 1 ] || fail "loader PROGRAM"; loader_for "$1" ;;
    template) [ $# -eq 1 ] || fail "template KIND"; template "$1" ;;
    copy) [ $# -eq 2 ] || fail "copy KIND COPY"; copy "$1" "$2" ;;
    run) [ $# -ge 2 ] || fail "run PREFIX PROGRAM [ARG...]"; run "$@" ;;
    test) [ $# -ge 1 ] || fail "test PROGRAM [ARG...]"; test_program "$@" ;;
    *) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//p}' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
esac
