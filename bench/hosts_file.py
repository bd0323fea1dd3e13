#!/usr/bin/env python3
"""Benchmark (not a test): the hosts file test of skelvane.exe under Wine on a 64 MiB hosts file
that names none of the vendor's hosts, placed in the Wine prefix at
drive_c/windows/system32/drivers/etc/hosts. Runs the tool twice in the offline lab of
tests/e2e/netlab.py (the vendor's names lead to an address where nothing listens, so the run
stays on the machine): once with the prefix's own small hosts file, once with the large one.
Prints the hosts test's wall time (from its heading to the next check's heading, as the tool
writes them), the whole run's time and the Wine process's peak resident memory for both.

Where the prefix is 64-bit and the program 32-bit, the program runs in WoW64, whose file system
redirection sends System32 to SysWOW64 except for a few folders (drivers\\etc among them, on
Windows). A decoy hosts file that names the service is put in syswow64 for the runs: the verdict
then shows which of the two files the program read.

    bench/hosts_file.py [--exe build/windows/skelvane.exe] [--loader PATH] [--wineprefix DIR]
                        [--mib 64]

Without --wineprefix it plays in a copy of the 64-bit template prefix; with it, the prefix's own
files are put back afterwards. The launcher (tests/support/windows/run_under_wine.sh) makes that
copy and picks the Wine loader from the program's machine type: wine for the i686 program,
wine64 for an x86_64 build.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests/e2e"))
import netlab  # noqa: E402

WINE_SETTINGS = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
LINE = b"10.%d.%d.%d host-%08d.example.internal # a comment that names nobody\r\n"
DECOY = b"127.0.0.1 service.tolv.com # syswow64 decoy\r\n"
HOSTS_HEADING = b"hosts test:"
NEXT_HEADING = b"GetAddrInfoW response test:"


def make_hosts(path, size):
    with open(path, "wb") as out:
        written, n = 0, 0
        while written < size:
            line = LINE % ((n >> 16) & 255, (n >> 8) & 255, n & 255, n)
            line = line[: size - written]
            out.write(line)
            written += len(line)
            n += 1


def pe_machine(path):
    """The machine field of a PE image: 0x14c for i386, 0x8664 for x86_64."""
    data = Path(path).read_bytes()[:4096]
    header = int.from_bytes(data[0x3C:0x40], "little")
    if data[:2] != b"MZ" or data[header:header + 4] != b"PE\0\0":
        sys.exit(f"hosts_file: {path} is not a PE image")
    return int.from_bytes(data[header + 4:header + 6], "little")


LAUNCHER = ROOT / "tests" / "support" / "windows" / "run_under_wine.sh"


def launcher(*args):
    """What the launcher prints: the loader of a program, a prefix's path."""
    return subprocess.run(["bash", str(LAUNCHER), *args], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, text=True, check=True).stdout.strip()


def wine_loader(program, path):
    """The launcher's loader for `program`, as a path found on `path` (PATH's form)."""
    loader = launcher("loader", str(program))
    return shutil.which(loader, path=path) or loader


def wine_prefix(copy):
    """A fresh 64-bit prefix at `copy`: the launcher's copy of its template (made once)."""
    launcher("copy", "win64", str(copy))


def thirty_two_bit_runs():
    """Whether this machine can execute 32-bit x86 code (Wine's 32-bit loader); bench.py asks
    it too."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


# --- inside the lab: one run, timed as its output arrives


def measure(output, argv):
    """Runs argv with its standard error going to a file (Wine's helper processes would keep a
    pipe open after the tool has ended), watches the file for the two headings, and writes
    {"hosts": s, "names": s, "seconds": s, "rss_kib": n, "exit": n, "stderr": text}."""
    work = Path(output).parent
    errors = work / "stderr.txt"
    with open(errors, "wb") as sink:
        started = time.monotonic()
        process = subprocess.Popen(argv, cwd=work / "run", stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=sink)
    marks = {}
    status = usage = None
    with open(errors, "rb") as source:
        seen = b""
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            seen += source.read()
            now = time.monotonic() - started
            if HOSTS_HEADING in seen and "hosts" not in marks:
                marks["hosts"] = now
            if NEXT_HEADING in seen and "names" not in marks:
                marks["names"] = now
            if pid != 0:
                break
            time.sleep(0.002)
    process.returncode = os.waitstatus_to_exitcode(status)
    Path(output).write_text(json.dumps(dict(
        marks, seconds=time.monotonic() - started, rss_kib=usage.ru_maxrss,
        exit=process.returncode, stderr=seen.decode("utf-8", errors="replace"))))


def run_in_lab(work, loader, env):
    config = work / "netlab.json"
    config.write_text(json.dumps(netlab.Lab(certificate=None).config))
    output = work / "measured.json"
    command = [sys.executable, __file__, "measure", str(output), loader, "skelvane.exe"]
    subprocess.run(netlab.lab_command(config, command), env=dict(os.environ, **env),
                   stdin=subprocess.DEVNULL, check=True)
    return json.loads(output.read_text())


# --- the prefix's files, put back afterwards


class Placed:
    """Writes files into the prefix and puts back what was there (or removes what it made)."""

    def __init__(self):
        self.saved = []

    def file(self, path, write):
        path = Path(path)
        missing = path.parent
        while not missing.parent.exists():
            missing = missing.parent
        made = None if missing.exists() else missing
        old = path.read_bytes() if path.exists() else None
        self.saved.append((path, old, made))
        path.parent.mkdir(parents=True, exist_ok=True)
        write(path)

    def restore(self):
        for path, old, made in reversed(self.saved):
            if old is not None:
                path.write_bytes(old)
            elif made is not None:
                shutil.rmtree(made, ignore_errors=True)
            else:
                path.unlink(missing_ok=True)


def verdict_of(stderr):
    start = stderr.find(HOSTS_HEADING.decode())
    end = stderr.find(NEXT_HEADING.decode())
    if start < 0:
        return "(no hosts test heading)"
    return stderr[start + len(HOSTS_HEADING):end if end > start else None].strip()


def describe(name, result):
    line = f"{name}: "
    if "hosts" in result and "names" in result:
        line += f"hosts test {result['names'] - result['hosts']:.3f} s, "
    else:
        line += "hosts test not timed (a heading is missing), "
    line += (f"whole run {result['seconds']:.2f} s, Wine process peak RSS "
             f"{result['rss_kib'] / 1024:.1f} MiB, exit code {result['exit']}")
    return line


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "measure":
        measure(sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=ROOT / "build/windows/skelvane.exe", type=Path)
    parser.add_argument("--loader", help="the Wine loader (chosen as described above)")
    parser.add_argument("--wineprefix", type=Path, help="an initialised Wine prefix to use")
    parser.add_argument("--mib", default=64, type=int)
    options = parser.parse_args()
    if not options.exe.exists():
        sys.exit(f"hosts_file: no {options.exe} (build it first)")
    machine = pe_machine(options.exe)
    path = "/usr/lib/wine:" + os.environ.get("PATH", "")
    loader = options.loader or wine_loader(options.exe, path)
    with tempfile.TemporaryDirectory(prefix="skelvane-bench-") as folder:
        folder = Path(folder)
        prefix = options.wineprefix or folder / "wineprefix"
        env = dict(WINE_SETTINGS, WINEPREFIX=str(prefix), WINELOADER=loader, PATH=path)
        if options.wineprefix is None:
            wine_prefix(prefix)
        (folder / "run").mkdir()
        shutil.copy(options.exe, folder / "run" / "skelvane.exe")
        windows = prefix / "drive_c" / "windows"
        wow64 = machine == 0x14C and (windows / "syswow64").is_dir()
        placed = Placed()
        try:
            if wow64:
                placed.file(windows / "syswow64/drivers/etc/hosts",
                            lambda path: path.write_bytes(DECOY))
            small = run_in_lab(folder, loader, env)
            placed.file(windows / "system32/drivers/etc/hosts",
                        lambda path: make_hosts(path, options.mib << 20))
            large = run_in_lab(folder, loader, env)
        finally:
            placed.restore()
    bits = {0x14C: "i686", 0x8664: "x86_64"}.get(machine, hex(machine))
    print(f"{bits} program under {Path(loader).name}; hosts file: {options.mib} MiB naming "
          "none of the vendor's hosts")
    verdict = verdict_of(large["stderr"])
    print(f"verdict: {verdict!r}")
    if wow64:
        if verdict == "OK":
            read = ("system32 (drivers\\etc is exempt from WoW64 redirection under Wine, as on "
                    "Windows; the decoy in syswow64 was not read)")
        elif "decoy" in verdict:
            read = "syswow64 (redirected: the decoy was read, not the 64 MiB file)"
        else:
            read = "unknown (see the verdict)"
        print(f"32-bit program in a 64-bit prefix; hosts file read from {read}")
    print(describe(f"{options.mib} MiB hosts file", large))
    print(describe("the prefix's own hosts file", small))
    print(f"peak RSS above the small file's: {(large['rss_kib'] - small['rss_kib']) / 1024:+.1f} "
          "MiB")


if __name__ == "__main__":
    main()
