"""A plain file where the cache directory should be: "Something is wrong with" the path, its
attribute word (0x00000020, an archive-flagged file), and nothing deleted."""

import pkicache


def play(t):
    path = pkicache.host_path(t, pkicache.CACHE)
    path.parent.mkdir(parents=True)
    path.write_bytes(b"not a folder")
    pkicache.clean(t, "console.txt")
    t.check(path.read_bytes() == b"not a folder", "the file at the cache path changed")
