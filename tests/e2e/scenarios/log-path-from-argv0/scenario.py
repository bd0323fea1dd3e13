"""The log path is argv[0] with everything from the last point of its file name replaced by
".txt", or ".txt" appended when the file name has none: a bare name gives a log in the current
folder, a path a log in that folder, and a point in a folder name never counts."""

CASES = [
    # argv[0], the log it gives (relative to the current folder)
    ("check.exe", "check.txt"),
    ("sub\\check.exe", "sub/check.txt"),
    ("tools.2019\\check", "tools.2019/check.txt"),
    ("check.exe.bak", "check.exe.txt"),
    (".\\check", "check.txt"),
]


def play(t):
    (t.work / "sub").mkdir()
    (t.work / "tools.2019").mkdir()
    for argv0, log in CASES:
        result = t.run(argv0=argv0)
        t.check(result.exit == 0, f"{argv0}: exit code {result.exit}, expected 0")
        t.expect_text(result.stderr, "../normal-run/console.txt")
        path = t.work / log
        if t.check(path.is_file(), f"{argv0}: no log at {log}"):
            data = path.read_bytes()
            t.check(data.startswith(b"\xff\xfe"), f"{argv0}: {log} has no byte order mark")
            path.unlink()
    t.check(t.log_bytes() is None, "a log beside the tool, where argv[0] does not lead")
