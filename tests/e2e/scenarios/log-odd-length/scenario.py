"""A log of odd length (a UTF-8 file of 21 bytes, or a log cut off mid-character): the run first
writes one zero byte, so that its own text starts on a UTF-16 code unit and reads as text."""


def play(t):
    earlier = b"UTF-8 text, 21 bytes."
    (t.work / "skelvane.txt").write_bytes(earlier)
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "../normal-run/console.txt")
    data = t.log_bytes()
    if t.check(data.startswith(earlier + b"\0"), "the earlier bytes and one zero byte come first"):
        t.expect_text(data[len(earlier) + 1 :].decode("utf-16-le"), "../normal-run/log.txt")
