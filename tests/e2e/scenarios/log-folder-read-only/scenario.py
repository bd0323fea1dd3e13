"""The folder of the log is read-only: the log cannot be created, so the run ends at once with
the fatal message on standard output and exit 1; no check runs."""


def play(t):
    t.readonly_dir(t.work)
    result = t.run()
    t.check(result.exit == 1, f"exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "stdout.txt")
    t.check(result.stderr == "", f"standard error {result.stderr!r}, expected nothing")
    t.check(t.log_bytes() is None, "a log was written into a read-only folder")
