"""Two runs in one folder: the second appends its blocks after the first run's end banner and
writes no second byte order mark."""


def play(t):
    for run in range(2):
        result = t.run()
        t.check(result.exit == 0, f"run {run + 1}: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "../normal-run/console.txt")
    t.expect_log("log.txt")
