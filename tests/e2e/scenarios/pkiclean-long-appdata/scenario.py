"""Long application-data folders against the 261-character location buffer and the listing's
limit of 257 characters: a folder of 230 characters gives a cache path of 257, which is listed
and cleaned; 231 and 233 give 258 and 260, which fit the buffer but are refused for listing;
from 234 on the suffix does not fit, and the clean ends with its own error line. Nothing is
deleted but in the first run."""

import pkicache

# Folder length -> expected console text.
RUNS = {230: "console-230.txt", 231: "console-231.txt", 233: "console-233.txt",
        234: "console-234.txt"}


def folder_of_length(length):
    head = pkicache.APPDATA + "\\" + "a" * 100 + "\\"
    return head + "b" * (length - len(head))


def play(t):
    for length, expected in RUNS.items():
        folder = folder_of_length(length)
        assert len(folder) == length
        pkicache.host_path(t, folder).mkdir(parents=True)
        cache = pkicache.host_path(t, folder + pkicache.SUFFIX)
        if length + len(pkicache.SUFFIX) <= 260:
            cache.mkdir(parents=True)
            (cache / "file.crl").write_bytes(b"1234")
        pkicache.set_appdata(t, folder)
        pkicache.clean(t, expected)
        if cache.exists():
            left = pkicache.names(cache)
            t.check(left == ([] if length == 230 else ["file.crl"]), f"{length}: left {left}")
