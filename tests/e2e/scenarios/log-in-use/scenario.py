"""The log is open in another program (a reader that shares): the tool wants it for itself
alone, so it ends with the fatal message and exit 1 and leaves the file as it was."""


def play(t):
    log = t.work / "skelvane.txt"
    content = "\ufeffearlier run\r\n".encode("utf-16-le")
    log.write_bytes(content)
    with t.hold(log, "read"):
        result = t.run()
    t.check(result.exit == 1, f"exit code {result.exit}, expected 1")
    t.expect_text(result.stdout, "../log-path-is-folder/stdout.txt")
    t.check(result.stderr == "", f"standard error {result.stderr!r}, expected nothing")
    t.check(t.log_bytes() == content, "the log file was changed")
