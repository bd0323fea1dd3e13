#!/usr/bin/env python3
"""Benchmark (not a test): the native tool's hosts file test on a 64 MiB hosts file that names
none of the vendor's hosts. Makes a stand-in prefix with that file, runs the tool once (in the
offline lab when it can be entered, so that the rest of the run stays on the machine), and prints
the hosts test's wall time (from its heading to the next check's heading, as the tool writes
them) and the run's peak resident memory.

    bench/hosts_file.py [--native build/native/skelvane] [--mib 64]
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests/e2e"))

LINE = b"10.%d.%d.%d host-%08d.example.internal # a comment that names nobody\r\n"


def make_hosts(path, size):
    with open(path, "wb") as out:
        written, n = 0, 0
        while written < size:
            line = LINE % ((n >> 16) & 255, (n >> 8) & 255, n & 255, n)
            line = line[: size - written]
            out.write(line)
            written += len(line)
            n += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", default=ROOT / "build/native/skelvane", type=Path)
    parser.add_argument("--mib", default=64, type=int)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="skelvane-bench-") as folder:
        folder = Path(folder)
        prefix = folder / "prefix"
        etc = prefix / "drive_c/windows/system32/drivers/etc"
        etc.mkdir(parents=True)
        make_hosts(etc / "hosts", options.mib << 20)
        (prefix / "machine.conf").write_text("account=user\n")
        work = folder / "work"
        work.mkdir()
        tool = work / "skelvane"
        tool.write_bytes(options.native.read_bytes())
        tool.chmod(0o755)
        # The tool's output is timed as it arrives: the heading of the hosts test and of the
        # name resolution test that follows it.
        started = time.monotonic()
        process = subprocess.Popen([str(tool)], cwd=work, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   env=dict(os.environ, SKELVANE_PREFIX=str(prefix)))
        seen = b""
        marks = {}
        while True:
            chunk = os.read(process.stderr.fileno(), 65536)
            if not chunk:
                break
            seen += chunk
            now = time.monotonic()
            if b"hosts test:" in seen and "hosts" not in marks:
                marks["hosts"] = now
            if b"GetAddrInfoW response test:" in seen and "names" not in marks:
                marks["names"] = now
        process.wait()
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        verdict = seen[seen.find(b"hosts test:"):seen.find(b"GetAddrInfoW")]
        print(f"hosts file: {options.mib} MiB without a key")
        print(f"verdict: {verdict.decode(errors='replace').strip()!r}")
        if "hosts" in marks and "names" in marks:
            print(f"hosts test wall time: {marks['names'] - marks['hosts']:.3f} s")
        print(f"whole run: {time.monotonic() - started:.3f} s")
        print(f"peak RSS of the run: {usage.ru_maxrss / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
