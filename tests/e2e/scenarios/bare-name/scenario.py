"""Started by its bare name, as typed at a console prompt: argv[0] is "skelvane", without a
point, and the log is skelvane.txt in the current folder. The name is typed to cmd, which
passes the command line as typed."""


def play(t):
    result = t.run(argv0="skelvane", through_cmd=True)
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.expect_text(result.stderr, "../normal-run/console.txt")
    t.expect_log("../normal-run/log.txt")
    logs = sorted(p.name for p in t.work.iterdir() if p.suffix == ".txt")
    t.check(logs == ["skelvane.txt"], f"logs in the folder: {logs}")
