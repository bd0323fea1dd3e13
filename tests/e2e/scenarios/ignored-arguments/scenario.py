"""Command lines that select no mode run the normal checks: a switch counts only as the one
argument, and only as the whole word."""

COMMAND_LINES = [
    ["/fix", "x"],
    ["/pkiclean", "x"],
    ["x", "/pkiclean"],
    ["-fix"],
    ["fix"],
    ["/fix "],
    ["/pkiclean2"],
]


def play(t):
    for args in COMMAND_LINES:
        result = t.run(args)
        t.check(result.exit == 0, f"{args}: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "../normal-run/console.txt")
        t.expect_log("../normal-run/log.txt")
        (t.work / "skelvane.txt").unlink(missing_ok=True)
