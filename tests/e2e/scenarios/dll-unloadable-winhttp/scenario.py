"""winhttp will not load from the system folder (Wine told not to load it): the probe's first
call fails with 126 (module not found) and prints its own line, "In WinHttpOpen 126.", and the
run goes on to the prompt, the end banner of the log and exit 0, as any failed session does."""

UNLOADABLE = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winhttp=d"}


def play(t):
    result = t.run(env=UNLOADABLE)
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "console.txt")
    t.expect_log("log.txt")
