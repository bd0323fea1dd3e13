"""A cache holding files and a subdirectory with a file of its own: one line per entry in the
platform's order (letter case folded), the files deleted, the subdirectory and its file kept,
"Successfully cleaned"; the log holds the same lines."""

import pkicache


def play(t):
    folder = pkicache.cache(t, {"b.crl": b"12345", "A.crl": b"abc", "_last.ctl": b""},
                            folders=["sub"])
    (folder / "sub" / "inner.crl").write_bytes(b"kept")
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(folder) == ["sub"], f"left in the cache: {pkicache.names(folder)}")
    t.check((folder / "sub" / "inner.crl").read_bytes() == b"kept", "the subdirectory's file changed")
    t.expect_log("log.txt")
