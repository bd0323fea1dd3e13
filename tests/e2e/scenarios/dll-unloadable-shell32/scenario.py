"""shell32 will not load from the system folder: /pkiclean's folder query fails with 126 (module
not found) and prints its own line, "Cannot determine location of CSIDL_COMMON_APPDATA
(0x0000007e)", then ends as that failure ends, exit 0 and nothing deleted. Wine's own start-up
(its services and desktop) needs shell32, so they are started first in the run's wineserver
without the override, and only the tool runs with it."""

import shlex

UNLOADABLE = {"WINEDLLOVERRIDES": "mscoree,mshtml=;shell32=d"}


def wrap(t, argv):
    services = shlex.join(t.wine_command(["cmd", "/c", "exit"]))
    start = f"WINEDLLOVERRIDES='mscoree,mshtml=' {services} >/dev/null 2>&1"
    return ["sh", "-c", start + ' && exec "$@"', "sh"] + argv


def play(t):
    result = t.run(["/pkiclean"], env=UNLOADABLE)
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "console.txt")
    t.expect_log("log.txt")
