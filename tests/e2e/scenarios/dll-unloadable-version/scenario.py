"""version.dll will not load from the system folder: the tool-version line gives way to "Error in
GetFileVersionInfoSize: 126" (module not found) on standard output, and the checks run to the
prompt, the log's end banner and exit 0. Wine's own start-up needs version.dll (through user32),
so its services are started first in the run's wineserver without the override, and only the
tool runs with it."""

import re
import shlex

UNLOADABLE = {"WINEDLLOVERRIDES": "mscoree,mshtml=;version=d"}
END_BANNER = re.compile(r"\r\nLog end time: [0-9. :]+\r\n#+\r\n\Z")


def wrap(t, argv):
    services = shlex.join(t.wine_command(["cmd", "/c", "exit"]))
    start = f"WINEDLLOVERRIDES='mscoree,mshtml=' {services} >/dev/null 2>&1"
    return ["sh", "-c", start + ' && exec "$@"', "sh"] + argv


def play(t):
    result = t.run(env=UNLOADABLE)
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "Error in GetFileVersionInfoSize: 126\n",
            f"standard output {result.stdout!r}")
    t.expect_text(result.stderr, "console.txt")
    log = (t.log_bytes() or b"")[2:].decode("utf-16-le", errors="replace")
    t.check(END_BANNER.search(log), f"the log does not end with the end banner: {log[-120:]!r}")
