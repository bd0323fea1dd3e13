"""A log file that exists before the run: an empty one gets the byte order mark, one with
content never does, whatever it holds; the run appends and keeps what was there."""


def play(t):
    log = t.work / "skelvane.txt"

    log.write_bytes(b"")
    result = t.run()
    t.check(result.exit == 0, f"empty log: exit code {result.exit}, expected 0")
    t.expect_log("../normal-run/log.txt")

    # Earlier content without a byte order mark.
    earlier = "earlier run\r\n".encode("utf-16-le")
    log.write_bytes(earlier)
    result = t.run()
    t.check(result.exit == 0, f"log with content: exit code {result.exit}, expected 0")
    t.expect_text(result.stderr, "../normal-run/console.txt")
    data = t.log_bytes()
    if t.check(data.startswith(earlier), "the log's earlier content was not kept"):
        t.expect_text(data[len(earlier) :].decode("utf-16-le"), "../normal-run/log.txt")
