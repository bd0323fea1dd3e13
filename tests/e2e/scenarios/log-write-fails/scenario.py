"""A log write that fails or comes up short is reported with its reason, in the log and on the
console; the message itself still reaches the console and the run goes on."""

NOT_ON = {"wine": "faults are injected through the stand-in machine; Wine has no such switch"}

# The faults are aimed at the log file alone. In a run with a new log its third write is the
# tool-version line's (after the byte order mark and the start banner), so each case starts
# with no log.
VERSION_LINE_WRITE = 2
CASES = [
    ("failed", {"fail": f"WriteFile@skelvane.txt:29:{VERSION_LINE_WRITE}"}),  # ERROR_WRITE_FAULT
    ("short", {"limit": f"WriteFile@skelvane.txt:10:{VERSION_LINE_WRITE}"}),
]


def play(t):
    for name, fault in CASES:
        t.machine(**{"fail": [], "limit": [], **fault})
        result = t.run()
        t.check(result.exit == 0, f"{name} write: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, f"console-{name}.txt")
        t.expect_log(f"log-{name}.txt")
        (t.work / "skelvane.txt").unlink(missing_ok=True)
