"""Links among the cache's entries: a link to a file is deleted as a link (it goes, the file it
leads to stays), a link to a folder is listed as a subdirectory and left, and so is that
folder's content."""

import os

import pkicache

NOT_ON = {"wine": "Wine 8 reports a symbolic link to a file as that file (attributes 0x20, its "
                  "size) and its DeleteFileW deletes the file the link leads to, not the link"}


def play(t):
    outside = t.work.parent / "outside"
    (outside / "folder").mkdir(parents=True)
    (outside / "file.dat").write_bytes(b"keep me")
    (outside / "folder" / "inner.dat").write_bytes(b"keep me too")
    folder = pkicache.cache(t, {"real.crl": b"real"})
    os.symlink(outside / "file.dat", folder / "file-link.crl")
    os.symlink(outside / "folder", folder / "folder-link")
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(folder) == ["folder-link"], f"left: {pkicache.names(folder)}")
    t.check((outside / "file.dat").read_bytes() == b"keep me", "the linked file changed")
    t.check((outside / "folder" / "inner.dat").read_bytes() == b"keep me too",
            "the linked folder's file changed")
