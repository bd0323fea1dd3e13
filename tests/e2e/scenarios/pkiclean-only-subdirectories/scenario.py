"""A cache holding only subdirectories (one of them with a file): each listed with <DIR>,
neither entered nor removed, and "Already clean", as they count as neither files nor failures."""

import pkicache


def play(t):
    folder = pkicache.cache(t, folders=["one", "Two"])
    (folder / "one" / "inner.crl").write_bytes(b"kept")
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(folder) == ["Two", "one"], f"left: {pkicache.names(folder)}")
    t.check((folder / "one" / "inner.crl").is_file(), "a subdirectory's file was deleted")
