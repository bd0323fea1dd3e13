"""/fix on a machine whose Root store refuses the import: a store the user may not write (the
add fails with ERROR_ACCESS_DENIED, 5) and a store that cannot be opened. Each run prints the
import's heading and its error, then the prompt, runs no check and ends with exit code 1."""

NOT_ON = {
    "wine": "no way found to make Wine's local machine Root store refuse: it is opened and "
    "written for every user, and opened again when its registry key was deleted",
}


def play(t):
    t.machine(**{"store-readonly": "LocalMachine/Root"})
    refused = t.run(["/fix"])
    t.check(refused.exit == 1, f"read-only store: exit code {refused.exit}, expected 1")
    t.expect_text(refused.stderr, "read-only.txt")

    t.machine(fail="CertOpenStore:5")
    unopened = t.run(["/fix"])
    t.check(unopened.exit == 1, f"store not opened: exit code {unopened.exit}, expected 1")
    t.expect_text(unopened.stderr, "not-opened.txt")

    stored = t.prefix / "certificates" / "LocalMachine" / "Root"
    t.check(not stored.exists() or not any(stored.iterdir()), "a certificate reached the store")
    log = (t.log_bytes() or b"").decode("utf-16-le", errors="replace")
    t.check(log.count("Log end time: ") == 2, "each run's log part should end with its banner")
