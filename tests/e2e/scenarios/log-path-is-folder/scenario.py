"""A folder stands where the log should be: it cannot be opened as a file, so the run ends
with the fatal message and exit 1, and the folder is left as it was."""


def play(t):
    folder = t.work / "skelvane.txt"
    folder.mkdir()
    result = t.run()
    t.check(result.exit == 1, f"exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "stdout.txt")
    t.check(result.stderr == "", f"standard error {result.stderr!r}, expected nothing")
    t.check(folder.is_dir() and not any(folder.iterdir()), "the folder was changed")
