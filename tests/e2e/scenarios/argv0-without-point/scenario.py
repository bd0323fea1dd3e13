"""argv[0] without a point gives no log path: the fatal message on standard output, exit 1,
nothing on the console's report stream and no file written."""


def play(t):
    before = sorted(p.name for p in t.work.iterdir())
    result = t.run(argv0="skelvane")
    t.check(result.exit == 1, f"exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "stdout.txt")
    t.check(result.stderr == "", f"standard error {result.stderr!r}, expected nothing")
    after = sorted(p.name for p in t.work.iterdir())
    t.check(after == before, f"work folder changed: {before} -> {after}")
