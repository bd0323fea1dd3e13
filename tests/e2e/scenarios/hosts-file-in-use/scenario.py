"""Another process holds the hosts file open without sharing: the test's own open fails and it
says so with the expanded path."""

from pathlib import Path

HEADING = "\r\n\r\n%SystemRoot%\\System32\\drivers\\etc\\hosts test:"
NEXT = "\r\n\r\nGetAddrInfoW response test:"


def play(t):
    hosts = Path(t.prefix) / "drive_c/windows/system32/drivers/etc/hosts"
    hosts.parent.mkdir(parents=True, exist_ok=True)
    hosts.write_bytes(b"127.0.0.1 localhost\r\n")
    with t.hold(hosts, "none"):
        result = t.run()
    console = result.stderr
    start = console.find(HEADING)
    t.expect_text(console[start:console.find(NEXT, start)], "hosts.txt")
