"""Another process holds the hosts file open without sharing: the test's own open fails and it
says so with the expanded path. Natively the stand-in's share modes (an exclusive lock) keep the
tool out."""

import fcntl
from pathlib import Path

NOT_ON = {"wine": "Wine's share modes live in its wineserver; a host process cannot hold a "
                  "file there"}

HEADING = "\r\n\r\n%SystemRoot%\\System32\\drivers\\etc\\hosts test:"
NEXT = "\r\n\r\nGetAddrInfoW response test:"


def play(t):
    hosts = Path(t.prefix) / "drive_c/windows/system32/drivers/etc/hosts"
    hosts.parent.mkdir(parents=True, exist_ok=True)
    hosts.write_bytes(b"127.0.0.1 localhost\r\n")
    with open(hosts, "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        result = t.run()
    console = result.stderr
    start = console.find(HEADING)
    t.expect_text(console[start:console.find(NEXT, start)], "hosts.txt")
