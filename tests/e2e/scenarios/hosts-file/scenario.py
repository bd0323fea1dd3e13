"""The hosts file test on hosts files of every shape, one run each: the usual local entries
(OK), the service host in capitals (the error, the .com warning and the file between rulers as
stored), a commented-out line naming the .eu domain, bytes 0x80-0xFF (shown as U+0080-U+00FF), a
NUL byte (the search and the shown text end there), a UTF-16 file (cut at its first NUL: OK), an
empty file and none at all."""

from pathlib import Path

HEADING = "\r\n\r\n%SystemRoot%\\System32\\drivers\\etc\\hosts test:"
NEXT = "\r\n\r\nGetAddrInfoW response test:"
LOCAL = (b"# Copyright (c) 1993-2009 Microsoft Corp.\r\n#\r\n"
         b"# localhost name resolution is handled within DNS itself.\r\n"
         b"#\t127.0.0.1       localhost\r\n#\t::1             localhost\r\n")

CASES = [
    ("local-entries", LOCAL, "../../common/hosts-ok.txt"),
    ("service-host", LOCAL + b"127.0.0.1 SERVICE.TOLV.COM\r\n", "service-host.txt"),
    ("commented-eu", LOCAL + b"# 192.0.2.99 update.tolv.eu\r\n", "commented-eu.txt"),
    ("high-bytes", b"# caf\xe9 \x80\xff\r\n10.0.0.1 tolv.eu\r\n", "high-bytes.txt"),
    ("nul-byte", b"10.0.0.1 tolv.eu\x00 service.tolv.com\r\n", "nul-byte.txt"),
    ("utf-16", "\ufeff127.0.0.1 service.tolv.com\r\n".encode("utf-16-le"),
     "../../common/hosts-ok.txt"),
    ("empty", b"", "empty.txt"),
    ("missing", None, "missing.txt"),
]


def hosts_section(console):
    start = console.find(HEADING)
    end = console.find(NEXT, start)
    return console[start:end] if start >= 0 and end >= 0 else console


def play(t):
    hosts = Path(t.prefix) / "drive_c/windows/system32/drivers/etc/hosts"
    for name, content, expected in CASES:
        hosts.parent.mkdir(parents=True, exist_ok=True)
        if hosts.exists() or hosts.is_symlink():
            hosts.unlink()
        if content is not None:
            hosts.write_bytes(content)
        result = t.run()
        t.check(result.exit == 0, f"{name}: exit code {result.exit}, expected 0")
        if not t.expect_text(hosts_section(result.stderr), expected):
            t.failures.append(f"(in case {name})")
