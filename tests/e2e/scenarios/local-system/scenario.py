"""Run as LocalSystem: the second console line names the account, and no key is awaited at the
end even with a console at hand (a terminal that never gets a key), in every mode."""

import os

NOT_ON = {"wine": "Wine's token user is never LocalSystem, so only the stand-in can be one"}


def play(t):
    master, terminal = os.openpty()
    try:
        t.machine(account="system", console=os.ttyname(terminal))
        result = t.run(timeout=20)
        t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "console.txt")

        result = t.run(["/pkiclean"], timeout=20)
        t.check(result.exit == 0, f"/pkiclean: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "console-pkiclean.txt")
    finally:
        os.close(terminal)
        os.close(master)
    t.expect_log("log.txt")
