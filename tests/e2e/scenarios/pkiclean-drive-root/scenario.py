"""The machine-wide application-data folder is the root of a drive ("D:\\", as the system writes
a root: with its separator): the cache below it, D:\\TOLV\\TOLV Security\\PKI\\ctl, is found,
listed and cleaned like any other, and every path is printed with single separators. Drive D: is
a host folder mapped in the Wine prefix."""

import os

import pkicache


def play(t):
    drive = t.work.parent / "drive_d"
    folder = drive / "TOLV" / "TOLV Security" / "PKI" / "ctl"
    folder.mkdir(parents=True)
    (folder / "a.crl").write_bytes(b"1")
    (folder / "b.crl").write_bytes(b"22")
    os.symlink(drive, t.prefix / "dosdevices" / "d:")
    pkicache.set_appdata(t, "D:\\")
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(folder) == [], f"left: {pkicache.names(folder)}")
