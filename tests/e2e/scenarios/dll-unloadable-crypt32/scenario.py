"""crypt32 will not load from the system folder. /fix: opening the Root store fails (the stand-in
answers 126, module not found), "Cannot open system trusted root store", the prompt, exit 1.
The checks: the chain tests fail at CertOpenStore with LastApiError 0x0000007e, and the run
goes on to its prompt and exit 0."""

UNLOADABLE = {"WINEDLLOVERRIDES": "mscoree,mshtml=;crypt32=d"}
# Wine's winhttp delay-loads crypt32 itself and ends the process from its own failure hook when
# the probe asks for the server certificate: winhttp is kept from loading too (see
# console.wine-difference.txt).
UNLOADABLE_WITH_WINHTTP = {"WINEDLLOVERRIDES": "mscoree,mshtml=;crypt32,winhttp=d"}


def play(t):
    fix = t.run(["/fix"], env=UNLOADABLE)
    t.check(fix.exit == 1, f"/fix: exit code {fix.exit}, expected 1")
    t.check(fix.stdout == "", f"/fix: standard output {fix.stdout!r}, expected nothing")
    t.expect_text(fix.stderr, "console-fix.txt")
    t.expect_log("log-fix.txt")

    checks = t.run(env=UNLOADABLE_WITH_WINHTTP)
    t.check(checks.exit == 0, f"checks: exit code {checks.exit}, expected 0")
    t.check(checks.stdout == "", f"checks: standard output {checks.stdout!r}, expected nothing")
    t.expect_text(checks.stderr, "console.txt")
