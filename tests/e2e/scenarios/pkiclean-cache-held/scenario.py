"""The cache folder is held open by another Windows program with delete access, sharing reading
and writing only (as a service watching it may hold it): the clean cannot open it for its listing
(a sharing violation), so it prints the cache's heading and "FindFirstFile problem", never that
the cache does not exist, and deletes nothing. Once the holder is gone the same cache is
cleaned."""

import pkicache


def play(t):
    folder = pkicache.cache(t, {"a.crl": b"1", "b.crl": b"22"})
    with t.hold(folder, "read", access="delete"):
        pkicache.clean(t, "console-held.txt")
    t.check(pkicache.names(folder) == ["a.crl", "b.crl"], f"left: {pkicache.names(folder)}")
    pkicache.clean(t, "console-released.txt")
    t.check(pkicache.names(folder) == [], f"left: {pkicache.names(folder)}")
