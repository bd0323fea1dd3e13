"""A run without arguments: the report on standard error, nothing on standard output, exit 0;
the new log holds FF FE, the start banner, the same text as the console and the end banner."""


def play(t):
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "console.txt")
    t.expect_log("log.txt")
