"""A sparse file of 5,000,000,000 bytes is listed with that number, not with its low 32 bits
(705032704), and deleted."""

import os

import pkicache


def play(t):
    folder = pkicache.cache(t)
    with open(folder / "huge.crl", "wb") as huge:
        os.truncate(huge.fileno(), 5_000_000_000)
    pkicache.clean(t, "console.txt")
    t.check(pkicache.names(folder) == [], f"left: {pkicache.names(folder)}")
