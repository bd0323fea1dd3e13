#!/usr/bin/env bash
# Checks that need no run, as ctest tests (label static):
#   checks.sh imports PROGRAM   skelvane.exe imports only KnownDLLs at start and delay-loads
#                               exactly the DLLs below
#   checks.sh size PROGRAM      skelvane.exe stays small: stripped, at most 192 KiB
#   checks.sh format            the sources are clang-formatted (the repo's .clang-format)
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# What skelvane.exe may import at start: KnownDLLs, which Windows always takes from the system
# folder (extend the list when the tool needs another one). Never libstdc++, libgcc or
# winpthread: the program is static.
KNOWN_DLLS="kernel32 ntdll advapi32 msvcrt ws2_32 shell32 user32 gdi32 ole32 oleaut32 shlwapi"
# The DLLs it delay-loads, each from the system folder on first use (cmake/windows.cmake):
# exactly these, sorted.
DELAY_LOADED_DLLS="crypt32 shell32 version winhttp"

check_imports() {
    local program="$1" dlls dll delayed bad=0
    dlls="$(i686-w64-mingw32-objdump -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')" ||
        return 1
    [ -n "$dlls" ] || { echo "no imports found in $program"; return 1; }
    for dll in $dlls; do
        dll="${dll,,}"
        if [[ " $KNOWN_DLLS " != *" ${dll%.dll} "* ]]; then
            echo "skelvane.exe imports $dll at start, which is not a KnownDLL"
            bad=1
        fi
    done
    # objdump (binutils 2.40) shows only the import table above; the delay imports are read here.
    delayed="$(python3 "$ROOT/cmake/delay_imports.py" list "$program" |
               sed 's/\.dll:.*//I' | tr 'A-Z' 'a-z' | LC_ALL=C sort | tr '\n' ' ')" || return 1
    delayed="${delayed% }"
    if [ "$delayed" != "$DELAY_LOADED_DLLS" ]; then
        echo "skelvane.exe delay-loads '$delayed', expected '$DELAY_LOADED_DLLS'"
        bad=1
    fi
    [ $bad -eq 0 ] && echo "imports at start:" $dlls"; delay-loaded: $delayed"
    return $bad
}

check_size() {
    local program="$1" most=196608 stripped size
    stripped="$(mktemp)" || return 1
    i686-w64-mingw32-strip -o "$stripped" "$program" && size="$(stat -c %s "$stripped")"
    rm -f "$stripped"
    [ -n "${size:-}" ] || return 1
    echo "skelvane.exe stripped: $size bytes (at most $most)"
    [ "$size" -le "$most" ]
}

check_format() {
    local sources
    if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
        mapfile -t sources < <(git -C "$ROOT" ls-files -co --exclude-standard '*.cpp' '*.h' '*.c')
    else
        mapfile -t sources < <(cd "$ROOT" && find app report trust net cache sysinfo vendor platform \
            tests \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) 2>/dev/null)
    fi
    [ ${#sources[@]} -gt 0 ] || { echo "no sources found"; return 1; }
    (cd "$ROOT" && clang-format --dry-run --Werror "${sources[@]}") &&
        echo "${#sources[@]} files formatted"
}

case "${1:-}" in
    imports) check_imports "${2:?checks.sh imports PROGRAM}" ;;
    size) check_size "${2:?checks.sh size PROGRAM}" ;;
    format) check_format ;;
    *) echo "usage: checks.sh imports PROGRAM | size PROGRAM | format" >&2; exit 2 ;;
esac
