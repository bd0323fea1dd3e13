"""A cache directory holding nothing but "." and "..": the header line, then "Already clean";
the directory itself stays."""

import pkicache


def play(t):
    folder = pkicache.cache(t)
    pkicache.clean(t, "console.txt")
    t.check(folder.is_dir(), "the cache directory is gone")
