#!/usr/bin/env python3
"""What a run of the tool costs, against goals: the Windows program's stripped size, the native
run against curl in the network lab (the server presenting the carried certificate, and nothing
listening), the run under Wine against a minimal Windows program doing the same network work,
the native run's peak memory, a 1 GiB reply streamed by the probe, and the hosts test on a
64 MiB hosts file (bench/hosts_file.py, when it exists).

    bench/bench.py [--pairs N] [--skip-wine] [--skip-large-reply]

It builds what it needs under build/bench/ (a native release build, the i686 program, and the
x86_64 program for Wine), runs every timed pair inside one lab of tests/e2e/netlab.py (as the
end-to-end scenarios do; root or an unprivileged user namespace), alternating which of the two
goes first, and prints the median of the per-pair ratios. Everything else it makes (prefixes,
logs, the Wine prefix) is in a temporary folder that it removes at the end. Times are noisy on a
shared machine: this is not part of ./test.sh.
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

BUILD = ROOT / "build" / "bench"
MAX_STRIPPED_BYTES = 196608
WINE_SETTINGS = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
CURL = ["curl", "-sv", "https://service.tolv.com/edferror", "-o", "/dev/null"]
GIB = 1 << 30
MIB = 1 << 20

# --- building


def cmake_build(folder, *configure, target=None):
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(folder), *configure], check=True,
                   stdout=subprocess.DEVNULL)
    build = ["nice", "cmake", "--build", str(folder), "-j2"]
    if target:
        build += ["--target", target]
    result = subprocess.run(build, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit(f"bench: building {folder} failed:\n{result.stdout}")


def install_missing(*packages):
    """Installs what dpkg does not list, as test.sh does (run.sh's install_missing)."""
    subprocess.run(["bash", "-c", 'source "$1"; shift; install_missing "$@"', "bench",
                    str(ROOT / "run.sh"), *packages], check=True)


def build_all(work, wine):
    print("building (build/bench/) ...", flush=True)
    # Optimised without sanitizers, as a user's build would be.
    cmake_build(BUILD / "native", "-DCMAKE_BUILD_TYPE=Release", "-DSKELVANE_SANITIZE=OFF",
                "-DSKELVANE_WERROR=ON", target="skelvane")
    cmake_build(BUILD / "windows", f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-i686.cmake")
    built = {"native": BUILD / "native" / "skelvane", "i686": BUILD / "windows" / "skelvane.exe"}
    if wine:
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


def native_env(work):
    prefix = work / "prefix"
    prefix.mkdir(exist_ok=True)
    # The log lands beside the program: run a copy in the work folder.
    (work / "run").mkdir(exist_ok=True)
    shutil.copy(BUILD / "native" / "skelvane", work / "run" / "skelvane")
    # Wine is never LocalSystem; neither is the native run here, whoever starts the bench.
    (prefix / "machine.conf").write_text("account=user\n")
    return {"SKELVANE_PREFIX": str(prefix)}


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


def bench_native(built, work, pairs):
    env = native_env(work)
    commands = {"tool": [str(work / "run" / "skelvane")], "curl": CURL}
    figures = {}
    for name, lab, goal in [("carried", netlab.Lab(certificate="carried"), 0.8),
                            ("nothing listening", netlab.Lab(certificate=None), 1.5)]:
        runs = in_lab(lab, commands, pairs, work, env)
        ratio, tool_ms, curl_ms = ratio_line(runs, "tool", "curl")
        report(f"native whole run vs curl, lab: {name}",
               f"{ratio:.2f}x (tool {tool_ms:.1f} ms, curl {curl_ms:.1f} ms; "
               f"median of {pairs} alternating pairs; exit codes: {exit_codes(runs)})",
               f"<= {goal}x curl", ratio <= goal)
        figures[name] = runs
    rss = statistics.median(r[1] for r in figures["carried"]["tool"])
    report("native run, peak RSS (lab: carried)", f"{rss / 1024:.1f} MiB", "(no goal)", None)


def bench_large_reply(built, work):
    env = native_env(work)
    small = netlab.Lab(certificate="interceptor", trust=["test-ca"])
    piece = {"repeat": "0123456789abcdef", "count": MIB // 16, "times": GIB // MIB}
    large = netlab.Lab(certificate="interceptor", trust=["test-ca"], reply=[piece], pause_ms=0)
    command = {"tool": [str(work / "run" / "skelvane")]}
    small_runs = in_lab(small, command, 3, work, env)["tool"]
    large_runs = in_lab(large, command, 3, work, env)["tool"]
    small_rss = statistics.median(r[1] for r in small_runs)
    large_rss = statistics.median(r[1] for r in large_runs)
    seconds = statistics.median(r[0] for r in large_runs)
    above = (large_rss - small_rss) / 1024
    report("native run, 1 GiB reply streamed by the probe",
           f"peak RSS {large_rss / 1024:.1f} MiB vs {small_rss / 1024:.1f} MiB for the expected "
           f"reply: {above:+.1f} MiB; run {seconds:.1f} s (median of 3)",
           "<= 2 MiB above the small reply's", above <= 2)


def thirty_two_bit_runs():
    """Whether this machine can execute 32-bit x86 code (Wine's 32-bit loader)."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def bench_wine(built, work, pairs):
    if thirty_two_bit_runs():
        loader, program = "/usr/lib/wine/wine", built["i686"]
        note = "the i686 program under wine"
    else:
        loader, program = "/usr/lib/wine/wine64", built["win64"]
        note = ("the x86_64 build under wine64: this machine cannot execute 32-bit code, so the "
                "i686 product cannot run here")
    prefix = work / "wineprefix"
    env = dict(WINE_SETTINGS, WINEPREFIX=str(prefix), WINELOADER=loader,
               PATH="/usr/lib/wine:" + os.environ.get("PATH", ""))
    print("initialising a Wine prefix (about 15 s) ...", flush=True)
    subprocess.run([loader, "wineboot", "-i"], env=dict(os.environ, **env),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=dict(os.environ, **env), check=True)
    (work / "run").mkdir(exist_ok=True)
    shutil.copy(program, work / "run" / "skelvane.exe")
    shutil.copy(built["floor"], work / "run" / "wine_floor.exe")
    commands = {"tool": [loader, "skelvane.exe"], "floor": [loader, "wine_floor.exe"]}
    # A persistent wineserver in the lab, so that no run pays for starting one.
    runs = in_lab(netlab.Lab(certificate="carried"), commands, pairs, work, env,
                  setup=[["/usr/lib/wine/wineserver", "-p"]],
                  teardown=[["/usr/lib/wine/wineserver", "-k"]], warmups=2)
    ratio, tool_ms, floor_ms = ratio_line(runs, "tool", "floor")
    report(f"under Wine ({note}): the tool vs a minimal program (Root store and "
           "one WinHTTP GET), lab: carried",
           f"{ratio:.2f}x (tool {tool_ms:.0f} ms, minimal program {floor_ms:.0f} ms; median of "
           f"{pairs} alternating pairs; exit codes: {exit_codes(runs)})", "<= 1.25x",
           ratio <= 1.25)


def bench_hosts(native):
    script = HERE / "hosts_file.py"
    if not script.exists():
        report("hosts test on a 64 MiB hosts file", "not yet (bench/hosts_file.py does not exist)",
               "(set by the hosts test)", None)
        return
    # The optimised build, as the other native figures.
    result = subprocess.run([sys.executable, str(script), "--native", str(native)],
                            stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    text = (result.stdout.strip() or result.stderr.strip() or "no output").replace("\n", "\n    ")
    report("hosts test on a 64 MiB hosts file (bench/hosts_file.py)",
           text if result.returncode == 0 else f"failed ({result.returncode}): {text}",
           "as hosts_file.py states", None)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "inside":
        inside(sys.argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=15, help="timed pairs per figure (>= 11)")
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--skip-large-reply", action="store_true")
    arguments = parser.parse_args()
    if arguments.pairs < 11:
        parser.error("--pairs must be at least 11")
    work = Path(tempfile.mkdtemp(prefix="skelvane-bench-"))
    try:
        built = build_all(work, not arguments.skip_wine)
        size = stripped_size(built["i686"], work)
        report("skelvane.exe (i686, as ./run.sh builds it), stripped", f"{size:,} bytes",
               f"<= {MAX_STRIPPED_BYTES:,} bytes", size <= MAX_STRIPPED_BYTES)
        bench_native(built, work, arguments.pairs)
        if not arguments.skip_large_reply:
            bench_large_reply(built, work)
        bench_hosts(built["native"])
        if not arguments.skip_wine:
            bench_wine(built, work, arguments.pairs)
    finally:
        if (work / "wineprefix").exists():
            subprocess.run(["/usr/lib/wine/wineserver", "-k"],
                           env=dict(os.environ, WINEPREFIX=str(work / "wineprefix")),
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
