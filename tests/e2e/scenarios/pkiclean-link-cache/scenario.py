"""The cache path is a symbolic link (a host link, which Wine shows as a directory reparse point,
attribute word 0x410) to a folder of files: the clean refuses with "Something is wrong with" the
cache path and deletes nothing, so the folder the link leads to keeps every file."""

import os

import pkicache


def play(t):
    target = t.work.parent / "elsewhere"
    target.mkdir()
    for name in ("important.dat", "other.dat"):
        (target / name).write_bytes(b"keep me")
    cache = pkicache.host_path(t, pkicache.CACHE)
    cache.parent.mkdir(parents=True)
    os.symlink(target, cache)
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(target) == ["important.dat", "other.dat"],
            f"left where the link leads: {pkicache.names(target)}")
    t.check(cache.is_symlink(), "the link is gone")
