#!/usr/bin/env python3
"""What a run of the tool costs, against goals: the Windows program's stripped size, and under
Wine: the run against a minimal Windows program doing the same network work, a 1 GiB reply
streamed by the probe against a small one, and the hosts test on a 64 MiB hosts file
(bench/hosts_file.py). Every run is of the Windows program: there is no native build to time.

    bench/bench.py [--pairs N] [--skip-wine] [--skip-large-reply]

It builds what it needs under build/bench/ (the i686 program, and the x86_64 program where
32-bit code cannot run), runs every timed pair inside one lab of tests/e2e/netlab.py (as the
end-to-end scenarios do; root or an unprivileged user namespace), alternating which of the two
goes first, and prints the median of the per-pair ratios. Fewer than 11 pairs (for trying the
script out) print the figures without a verdict. --skip-wine leaves only the size. Everything
else it makes (logs, the Wine prefix) is in a temporary folder that it removes at the end. Times
are noisy on a shared machine: this is not part of ./test.sh.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import netlab  # noqa: E402
from hosts_file import thirty_two_bit_runs, wine_loader, wine_prefix  # noqa: E402

BUILD = ROOT / "build" / "bench"
MAX_STRIPPED_BYTES = 196608
WINE_SETTINGS = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
GIB = 1 << 30
MIB = 1 << 20
# Fewer timed pairs than this give figures without a verdict.
MIN_PAIRS = 11

# --- building


def cmake_build(folder, *configure):
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(folder), *configure], check=True,
                   stdout=subprocess.DEVNULL)
    build = ["nice", "cmake", "--build", str(folder), "-j2"]
    result = subprocess.run(build, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: building {folder} failed:\n{result.stdout}")


def install_missing(*packages):
    """Installs what dpkg does not list, as test.sh does (run.sh's install_missing)."""
    subprocess.run(["bash", "-c", 'source "$1"; shift; install_missing "$@"', "bench",
                    str(ROOT / "run.sh"), *packages], check=True)


def build_all(work, wine):
    print("building (build/bench/) ...", flush=True)
    cmake_build(BUILD / "windows", f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-i686.cmake")
    built = {"i686": BUILD / "windows" / "skelvane.exe"}
    if wine:
        install_missing("wine64")  # the 64-bit prefix
        # The Wine leg as test.sh chooses it: the product where 32-bit code runs, else the x86_64
        # build of the same code under wine64, with the compiler that needs.
        compiler = "i686-w64-mingw32-gcc"
        if not thirty_two_bit_runs():
            install_missing("wine64", "g++-mingw-w64-x86-64")
            cmake_build(BUILD / "win64", f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-x86_64.cmake")
            built["win64"] = BUILD / "win64" / "skelvane.exe"
            compiler = "x86_64-w64-mingw32-gcc"
        built["floor"] = work / "wine_floor.exe"
        subprocess.run([compiler, "-municode", "-O2", "-s", "-Wall", "-Wextra",
                        "-Werror", "-o", str(built["floor"]), str(HERE / "wine_floor.c"),
                        "-lwinhttp", "-lcrypt32"], check=True)
    return built


def stripped_size(program, work):
    copy = work / "stripped.exe"
    subprocess.run(["i686-w64-mingw32-strip", "-o", str(copy), str(program)], check=True)
    size = copy.stat().st_size
    copy.unlink()
    return size


# --- runs inside a lab (this script, started by netlab with "inside")


def timed(argv, env, cwd):
    """Runs one command to its end: (seconds, peak RSS in KiB, exit code)."""
    started = time.perf_counter()
    process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    return seconds, usage.ru_maxrss, process.returncode


def inside(plan_path):
    plan = json.loads(Path(plan_path).read_text())
    env = dict(os.environ, **plan.get("env", {}))
    for argv in plan.get("setup", []):
        subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, check=True)
    runs = {name: [] for name in plan["commands"]}
    names = list(plan["commands"])
    try:
        for round_ in range(plan["warmups"] + plan["rounds"]):
            # Alternate which command goes first, so that neither always finds the caches warm.
            order = names if round_ % 2 == 0 else names[::-1]
            for name in order:
                result = timed(plan["commands"][name], env, plan["cwd"])
                if round_ >= plan["warmups"]:
                    runs[name].append(result)
    finally:
        for argv in plan["teardown"]:
            subprocess.run(argv, env=env, stdin=subprocess.DEVNULL)
    Path(plan["output"]).write_text(json.dumps(runs))


def in_lab(lab, commands, rounds, work, env=None, setup=(), teardown=(), warmups=1):
    """Runs the commands `rounds` times each, alternating, in one lab: {name: [(s, KiB, code)]}."""
    config = work / "netlab.json"
    config.write_text(json.dumps(lab.config))
    plan = work / "plan.json"
    output = work / "runs.json"
    plan.write_text(json.dumps({"commands": commands, "rounds": rounds, "warmups": warmups,
                                "cwd": str(work / "run"), "env": env or {},
                                "setup": list(setup), "teardown": list(teardown),
                                "output": str(output)}))
    (work / "run").mkdir(exist_ok=True)
    subprocess.run(netlab.lab_command(config, [sys.executable, __file__, "inside", str(plan)]),
                   check=True, stdin=subprocess.DEVNULL)
    runs = json.loads(output.read_text())
    output.unlink()
    return runs


# --- figures


def ratio_line(runs, first, second):
    ratios = [a[0] / b[0] for a, b in zip(runs[first], runs[second])]
    return (statistics.median(ratios), statistics.median(r[0] for r in runs[first]) * 1000,
            statistics.median(r[0] for r in runs[second]) * 1000)


def exit_codes(runs):
    """The exit codes each command ended with, to show that every run did its work."""
    return ", ".join(f"{name} {'/'.join(sorted({str(r[2]) for r in results}))}"
                     for name, results in runs.items())


def report(figure, value, goal, met):
    verdict = "" if met is None else ("  met" if met else "  NOT MET")
    print(f"{figure}\n    {value}\n    goal: {goal}{verdict}", flush=True)


class Wine:
    """The Wine leg every figure but the size runs on, with one prefix for all of them: a copy
    of the launcher's 64-bit template, the loader the launcher picks for the program."""

    def __init__(self, built, work):
        path = "/usr/lib/wine:" + os.environ.get("PATH", "")
        if thirty_two_bit_runs():
            self.program = built["i686"]
            self.note = "the i686 program under wine"
        else:
            self.program = built["win64"]
            self.note = ("the x86_64 build under wine64: this machine cannot execute 32-bit "
                         "code, so the i686 product cannot run here")
        self.loader = wine_loader(self.program, path)
        self.prefix = work / "wineprefix"
        self.env = dict(WINE_SETTINGS, WINEPREFIX=str(self.prefix), WINELOADER=self.loader,
                        PATH=path)
        print("copying a 64-bit Wine prefix ...", flush=True)
        wine_prefix(self.prefix)
        (work / "run").mkdir(exist_ok=True)
        shutil.copy(self.program, work / "run" / "skelvane.exe")
        self.tool = [self.loader, "skelvane.exe"]

    def in_lab(self, lab, commands, rounds, work, warmups):
        # A persistent wineserver in the lab, so that no run pays for starting one.
        return in_lab(lab, commands, rounds, work, self.env,
                      setup=[["/usr/lib/wine/wineserver", "-p"]],
                      teardown=[["/usr/lib/wine/wineserver", "-k"]], warmups=warmups)


def bench_floor(wine, built, work, pairs):
    shutil.copy(built["floor"], work / "run" / "wine_floor.exe")
    commands = {"tool": wine.tool, "floor": [wine.loader, "wine_floor.exe"]}
    runs = wine.in_lab(netlab.Lab(certificate="carried"), commands, pairs, work, warmups=2)
    ratio, tool_ms, floor_ms = ratio_line(runs, "tool", "floor")
    judged = pairs >= MIN_PAIRS
    report(f"under Wine ({wine.note}): the tool vs a minimal program (Root store and "
           "one WinHTTP GET), lab: carried",
           f"{ratio:.2f}x (tool {tool_ms:.0f} ms, minimal program {floor_ms:.0f} ms; median of "
           f"{pairs} alternating pairs; exit codes: {exit_codes(runs)})",
           "<= 1.25x" if judged else f"<= 1.25x (not judged: fewer than {MIN_PAIRS} pairs)",
           ratio <= 1.25 if judged else None)


def bench_large_reply(wine, work):
    small = netlab.Lab(certificate="interceptor", trust=["test-ca"])
    piece = {"repeat": "0123456789abcdef", "count": MIB // 16, "times": GIB // MIB}
    large = netlab.Lab(certificate="interceptor", trust=["test-ca"], reply=[piece], pause_ms=0)
    command = {"tool": wine.tool}
    small_runs = wine.in_lab(small, command, 3, work, warmups=1)["tool"]
    large_runs = wine.in_lab(large, command, 3, work, warmups=1)["tool"]
    small_rss = statistics.median(r[1] for r in small_runs)
    large_rss = statistics.median(r[1] for r in large_runs)
    above = (large_rss - small_rss) / 1024
    report(f"under Wine ({wine.note}): 1 GiB reply streamed by the probe",
           f"Wine process peak RSS {large_rss / 1024:.1f} MiB vs {small_rss / 1024:.1f} MiB for "
           f"the expected reply: {above:+.1f} MiB; run "
           f"{statistics.median(r[0] for r in large_runs):.2f} s vs "
           f"{statistics.median(r[0] for r in small_runs):.2f} s (medians of 3; exit codes: "
           f"{exit_codes({'large': large_runs, 'small': small_runs})})",
           "<= 2 MiB above the small reply's", above <= 2)


def bench_hosts(wine):
    # The prefix the other figures used; hosts_file.py puts its files back.
    result = subprocess.run([sys.executable, str(HERE / "hosts_file.py"), "--exe",
                             str(wine.program), "--loader", wine.loader, "--wineprefix",
                             str(wine.prefix)], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    text = (result.stdout.strip() or result.stderr.strip() or "no output").replace("\n", "\n    ")
    report("hosts test on a 64 MiB hosts file under Wine (bench/hosts_file.py)",
           text if result.returncode == 0 else f"failed ({result.returncode}): {text}",
           "(none: the file is read whole into two buffers of its size + 1 bytes)", None)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "inside":
        inside(sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=15,
                        help=f"timed pairs per figure (>= {MIN_PAIRS} for a verdict)")
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--skip-large-reply", action="store_true")
    arguments = parser.parse_args()
    if arguments.pairs < 1:
        parser.error("--pairs must be at least 1")
    work = Path(tempfile.mkdtemp(prefix="skelvane-bench-"))
    try:
        built = build_all(work, not arguments.skip_wine)
        size = stripped_size(built["i686"], work)
        report("skelvane.exe (i686, as ./run.sh builds it), stripped", f"{size:,} bytes",
               f"<= {MAX_STRIPPED_BYTES:,} bytes", size <= MAX_STRIPPED_BYTES)
        if not arguments.skip_wine:
            wine = Wine(built, work)
            bench_floor(wine, built, work, arguments.pairs)
            if not arguments.skip_large_reply:
                bench_large_reply(wine, work)
            bench_hosts(wine)
    finally:
        if (work / "wineprefix").exists():
            subprocess.run(["/usr/lib/wine/wineserver", "-k"],
                           env=dict(os.environ, WINEPREFIX=str(work / "wineprefix")),
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
