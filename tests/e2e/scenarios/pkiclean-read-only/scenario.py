"""Three files of which one is read-only (no write permission at all, which Wine reports as
FILE_ATTRIBUTE_READONLY): three size lines, the error line right after the read-only one's,
"Failed to delete 1 file(s)"; the other two are gone. Deletion is refused also for root."""

import pkicache


def play(t):
    folder = pkicache.cache(t, {"first.crl": b"1", "locked.crl": b"22", "third.crl": b"333"})
    (folder / "locked.crl").chmod(0o444)
    try:
        pkicache.clean(t, "console.txt")
        t.check(pkicache.names(folder) == ["locked.crl"], f"left: {pkicache.names(folder)}")
    finally:
        (folder / "locked.crl").chmod(0o644)
