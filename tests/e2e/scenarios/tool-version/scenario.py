"""The tool-version line shows all four 16-bit parts of the file version; without a version
resource the reason goes to standard output, no version line is shown and the run goes on."""

NOT_ON = {"wine": "skelvane.exe carries its version resource; only the stand-in can change it"}


def play(t):
    t.machine(version="1.0.300.7")
    result = t.run()
    t.check(result.exit == 0, f"1.0.300.7: exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"1.0.300.7: standard output {result.stdout!r}")
    t.expect_text(result.stderr, "console-1.0.300.7.txt")

    t.machine(version="none")
    result = t.run()
    t.check(result.exit == 0, f"no resource: exit code {result.exit}, expected 0")
    t.expect_text(result.stdout, "stdout-none.txt")
    t.expect_text(result.stderr, "console-none.txt")

    t.expect_log("log.txt")
