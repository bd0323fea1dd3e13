"""A folder two levels above the cache ("TOLV Security") is a symbolic link to a folder that
holds PKI\\ctl with files: the clean names that folder in "Something is wrong with" (attribute
word 0x410) and deletes nothing."""

import os

import pkicache


def play(t):
    target = t.work.parent / "elsewhere"
    files = target / "PKI" / "ctl"
    files.mkdir(parents=True)
    for name in ("important.dat", "other.dat"):
        (files / name).write_bytes(b"keep me")
    link = pkicache.host_path(t, pkicache.APPDATA + r"\TOLV\TOLV Security")
    link.parent.mkdir(parents=True)
    os.symlink(target, link)
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(files) == ["important.dat", "other.dat"],
            f"left where the link leads: {pkicache.names(files)}")
