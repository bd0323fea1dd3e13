#!/usr/bin/env python3
"""Plays every scenario of tests/e2e/scenarios with skelvane.exe under Wine and compares what it
shows with the expected texts, exactly, on each kind of Windows a Wine prefix can be.

    run.py [--wine PATH] [--legs LEG[,LEG]] [--only NAME...] [--keep]

One line per scenario and leg ("PASS win32 normal-run", "FAIL wow64 ...: <why>"), each known
Wine difference met once, then "e2e: N passed, N failed" (", N skipped" when a scenario cannot
be played on a leg). The exit code is 0 when all passed, 77 when everything was skipped (ctest's
skip, for one scenario on one leg) and 1 otherwise. The scenario format is described in
tests/e2e/README.md.
"""

import argparse
import contextlib
import difflib
import importlib.util
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

import netlab

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SCENARIOS = HERE / "scenarios"
COMMON = HERE / "common"  # expected pieces that many scenarios share
LOG_NAME = "skelvane.txt"
# Picks the Wine loader and makes the prefixes (a copy of the leg's template per scenario).
LAUNCHER = ROOT / "tests" / "support" / "windows" / "run_under_wine.sh"
# Settings of every run, whatever the caller's environment holds; a scenario may override them.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# The compiler of the helper programs for the Windows program's machine type. The product is
# i686; a machine that cannot execute 32-bit code plays the x86_64 build of the same code.
COMPILERS = {0x014C: "i686-w64-mingw32-gcc", 0x8664: "x86_64-w64-mingw32-gcc"}
SKIPPED = 77  # the exit code when every scenario played was skipped (ctest's SKIP_RETURN_CODE)
TIME_PATTERN = r"\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}\.\d{2}"
PLACEHOLDER = re.compile(r"\{\{([A-Z]+)\}\}")
INCLUDE = re.compile(r"\{\{INCLUDE ([a-z0-9-]+)\}\}")
IS_ROOT = os.geteuid() == 0


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*skelvane\s+VERSION\s+([0-9.]+)", text)
    if not match:
        sys.exit("run.py: no project version in CMakeLists.txt")
    return match.group(1)


VERSION = project_version()

# The Windows the scenarios model is the Wine prefix's. The i686 program plays two legs: a
# 32-bit prefix (32-bit Windows) and a 64-bit one, where it runs in WoW64 as on 64-bit Windows,
# its usual home. The x86_64 build, for a machine that cannot execute 32-bit code, plays in a
# 64-bit prefix alone. Each leg: the prefix's WINEARCH and the processor as the tool shows it.
ARCHITECTURES = {"win32": "x86 (0000)", "win64": "x64 (0009)"}
LEGS = {"win32": "win32", "wow64": "win64", "win64": "win64"}
LEGS_OF_MACHINE = {0x014C: ["win32", "wow64"], 0x8664: ["win64"]}
architecture = ARCHITECTURES["win32"]
KNOWN_DIFFERENCE = "known Wine difference in "
# What shows Wine failing itself: a client that lost its server, a page fault, or Wine's own
# process ended by a signal (a Windows program's crash ends in an exception code instead). A
# scenario that fails with one of these is played again and the retry is reported; a fault
# inside skelvane.exe's own image is the tool's and is never retried.
WINE_FAILURE = re.compile(r"wine client error:|Unhandled page fault on \w+ access to \w+ at address "
                          r"(?P<address>[0-9A-Fa-f]+)|Wine's process ended by signal \d+")
# How often a scenario is played at most while each play fails with Wine failing itself: seen
# here at the end of network scenarios (a crash or a lost server connection once the tool has
# printed its prompt), about once in a hundred plays with three at a time on two cores, and
# twice in a row once.
WINE_FAILURE_PLAYS = 3
# The network lab's line when the command it ran ended by a signal (netlab.py).
LAB_SIGNAL = re.compile(r"netlab: \S+ ended by signal (\d+)$", re.MULTILINE)
CLOSING = re.compile(r"^e2e: (\d+) passed, (\d+) failed(?:, (\d+) skipped)?$")


def decode(data):
    # Keeps every byte: text that is not UTF-8 still compares (and fails) byte for byte.
    return data.decode("utf-8", errors="surrogateescape")


def pe_header(path):
    """A Windows program's machine type, and its image's preferred address and size."""
    with open(path, "rb") as program:
        header = program.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    if header[:2] != b"MZ" or header[offset:offset + 4] != b"PE\0\0":
        sys.exit(f"run.py: {path} is not a Windows program")
    machine = int.from_bytes(header[offset + 4:offset + 6], "little")
    optional = offset + 24
    wide = int.from_bytes(header[optional:optional + 2], "little") == 0x20B
    base = (int.from_bytes(header[optional + 24:optional + 32], "little") if wide
            else int.from_bytes(header[optional + 28:optional + 32], "little"))
    size = int.from_bytes(header[optional + 56:optional + 60], "little")
    return machine, (base, size)


def wine_failure(failures, image):
    """The first line of `failures` that shows Wine failing itself, or None."""
    base, size = image
    for failure in failures:
        for match in WINE_FAILURE.finditer(failure):
            address = match.group("address")
            if address is None or not base <= int(address, 16) < base + size:
                line_start = failure.rfind("\n", 0, match.start()) + 1
                line_end = failure.find("\n", match.end())
                return failure[line_start:line_end if line_end >= 0 else None].strip()
    return None


def dos_path(path):
    # Wine's Z: drive is the host's root.
    return "Z:" + str(path).replace("/", "\\")


# --- comparing texts


def expected_pattern(expected):
    parts = []
    position = 0
    for match in PLACEHOLDER.finditer(expected):
        parts.append(re.escape(expected[position : match.start()]))
        name = match.group(1)
        if name == "TIME":
            parts.append(TIME_PATTERN)
        elif name == "VERSION":
            parts.append(re.escape(VERSION))
        elif name == "ARCHITECTURE":
            parts.append(re.escape(architecture))
        else:
            raise ValueError(f"unknown placeholder {match.group(0)}")
        position = match.end()
    parts.append(re.escape(expected[position:]))
    return re.compile("".join(parts), re.DOTALL)


def visible_lines(text):
    text = text.replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n\n")
    return text.split("\n")


def readable_diff(expected, actual, name):
    # The expected side keeps its placeholders; times in the actual text are shown as
    # placeholders too, so that only real differences stand out.
    expected = expected.replace("{{VERSION}}", VERSION)
    expected = expected.replace("{{ARCHITECTURE}}", architecture)
    actual = re.sub(TIME_PATTERN, "{{TIME}}", actual)
    lines = difflib.unified_diff(
        visible_lines(expected), visible_lines(actual), name, "actual", lineterm=""
    )
    return "\n".join(lines)


# --- one scenario


class Result:
    def __init__(self, stdout, stderr, exit):
        self.stdout = stdout
        self.stderr = stderr
        self.exit = exit  # None when the run was stopped at its time-out

    def __repr__(self):
        return f"Result(exit={self.exit!r}, stdout={self.stdout!r}, stderr={self.stderr!r})"


class Context:
    """What a scenario's play(t) works with: a fresh work folder holding the tool and a fresh
    Wine prefix."""

    def __init__(self, runner, scenario, base):
        self.dir = scenario.dir
        self.name = scenario.name
        self.work = base / "work"
        self.prefix = base / "prefix"
        self.failures = []
        self.notes = []
        self._runner = runner
        self._scenario = scenario
        self._readonly = []
        self._reg_files = []
        self._held = []  # (path, sharing, access) held by a Windows process around each run

    # -- the machine

    def import_reg(self, name):
        """Imports the .reg file `name` of the scenario folder as regedit would, for the tool's
        later runs: with regedit inside each later run's own wineserver, since keys under
        HKEY_USERS\\S-1-5-18 live only as long as it."""
        self._reg_files.append(self.dir / name)

    def build_dll(self, source, path):
        """Builds the scenario folder's C file `source` into the DLL `path`, with the compiler
        for the tool's machine type."""
        self._runner.build_dll(self.dir / source, path)

    def store_value(self, root, key, name, value_type, data):
        """Stores the value `name` of `key` under `root` ("HKLM" or "HKCU") with type
        `value_type` and exactly the bytes `data`, for the tool's later runs: at once, with
        RegSetValueExW from set_reg_bytes.exe, since Wine's regedit does not store an odd-length
        string value byte for byte; values of both roots outlive the helper's wineserver."""
        helper = self._runner.build_program("set_reg_bytes.c")
        result = self.wine([str(helper), root, key, name, str(value_type), data.hex()])
        self.check(result.exit == 0,
                   f"set_reg_bytes.exe {root}\\{key} {name}: exit code {result.exit} "
                   f"{result.stderr.strip()}")

    @contextlib.contextmanager
    def hold(self, path, sharing, access="read"):
        """While in this block, another program holds the file or folder `path` open for reading
        (`access` "read") or reading and deletion ("delete"), sharing nothing ("none") or sharing
        reading and writing ("read"): hold_file.exe inside each run's own wineserver, where Wine
        keeps share modes."""
        held = (Path(path), sharing, access)
        self._held.append(held)
        try:
            yield
        finally:
            self._held.remove(held)

    def readonly_dir(self, path):
        """Makes `path` unwritable for the tool's later runs, even when they run as root."""
        path = Path(path)
        if IS_ROOT:
            self._readonly.append(path)  # a read-only bind mount around each run
        else:
            path.chmod(0o555)
            self._runner.cleanups.append(lambda: path.chmod(0o755))

    # -- running the tool

    def run(self, args=(), argv0=None, timeout=60, env=None, through_cmd=False, stdin=None,
            program=None):
        """Runs the tool once; `env` adds variables to its environment (e.g. TZ). With
        `through_cmd`, Wine starts it as typed at a console prompt: `cmd /c <argv0> args`.
        `stdin` (a file descriptor, e.g. a terminal's) is its standard input; else none.
        `program` is the Windows path the tool is started from (e.g. a copy on a share), instead
        of the work folder's."""
        argv = self._runner.command(self, list(args), argv0, through_cmd, program)
        wrap = getattr(self._scenario.module, "wrap", None)
        for number, (path, sharing, access) in enumerate(self._held):
            # The holder starts first, in the run's wineserver, and ends with the run.
            holder = self._runner.build_program("hold_file.c")
            ready = self.work.parent / f"held-{number}"
            hold = shlex.join(self._runner.wine_argv(
                self, [str(holder), dos_path(path), sharing, dos_path(ready), access]))
            script = (f'rm -f {shlex.quote(str(ready))}; {hold} & holder=$!; '
                      f'n=0; while [ ! -e {shlex.quote(str(ready))} ] && [ $n -lt 600 ]; do '
                      f'sleep 0.05; n=$((n + 1)); done; "$@"; status=$?; kill $holder; '
                      f'wait $holder 2>/dev/null; exit $status')
            argv = ["sh", "-c", script, "sh"] + argv
        for reg_file in reversed(self._reg_files):
            regedit = shlex.join(
                self._runner.wine_argv(self, ["regedit", "/S", dos_path(reg_file)]))
            argv = ["sh", "-c", regedit + ' && exec "$@"', "sh"] + argv
        if self._readonly:
            mounts = " && ".join(
                f"mount --bind -o ro {shlex.quote(str(d))} {shlex.quote(str(d))}"
                for d in self._readonly
            )
            argv = ["unshare", "-m", "sh", "-c", mounts + ' && exec "$@"', "sh"] + argv
        if wrap is not None:
            argv = wrap(self, argv)
        # Every run is in a network of its own: the scenario's lab, or one where the vendor's
        # names lead to an address where nothing listens, so that no run reaches beyond the
        # machine and the probe's text is the same everywhere.
        argv = getattr(self._scenario.module, "LAB", OFFLINE_LAB).wrap(self, argv)
        # A run in a namespace of its own must start its own wineserver: the server opens the
        # files and must see the same mounts as the tool.
        self._runner.kill_server(self)
        started = time.monotonic()
        try:
            return self._spawn(argv, timeout, env, stdin)
        finally:
            runs = self._runner.timings.setdefault("wine tool run", [])
            runs.append(time.monotonic() - started)
            self._runner.kill_server(self)

    def _spawn(self, argv, timeout, env=None, stdin=None):
        # No terminal and no input unless given: the tool's key wait then finds no console and
        # returns at once.
        # Output goes to files, not pipes: Wine's helper processes inherit the streams and keep
        # a pipe open for seconds after the tool has ended.
        with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
            process = subprocess.Popen(
                argv,
                cwd=self.work,
                env=dict(self._runner.environment(self), **(env or {})),
                stdin=subprocess.DEVNULL if stdin is None else stdin,
                stdout=stdout,
                stderr=stderr,
                start_new_session=True,
            )
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                code = None
                self.failures.append(f"run {argv!r} did not end within {timeout} s")
            stdout.seek(0)
            stderr.seek(0)
            result = Result(decode(stdout.read()), decode(stderr.read()), code)
            # The lab's line lands in whichever stream the run's output was gathered into.
            lab_signal = LAB_SIGNAL.search(result.stderr) or LAB_SIGNAL.search(result.stdout)
            if code is not None and (code < 0 or lab_signal):
                number = -code if code < 0 else lab_signal.group(1)
                self.failures.append(f"run {Path(argv[0]).name}: Wine's process ended by signal "
                                     f"{number}")
            return result

    def wine(self, args, timeout=60):
        """Runs a Wine program (e.g. ["regedit", "/S", file]) in this scenario's prefix."""
        return self._spawn(self.wine_command(args), timeout)

    def wine_command(self, args):
        """The command that runs a Windows program (one of Wine's own, such as cmd, or a
        helper) in this scenario's prefix, under the loader the launcher picks, e.g. for a
        `wrap` that starts something first in each run's wineserver."""
        return self._runner.wine_argv(self, args)

    def log_bytes(self):
        """The log file's bytes, or None when there is no log."""
        path = self.work / LOG_NAME
        return path.read_bytes() if path.is_file() else None

    def expect_log(self, name):
        """The log is FF FE and then UTF-16LE text matching the file `name`."""
        log = self.log_bytes()
        if log is None:
            return self.check(False, "no log file")
        if not self.check(log.startswith(b"\xff\xfe"), f"log starts with {log[:2].hex(' ')}"):
            return False
        try:
            text = log[2:].decode("utf-16-le")
        except UnicodeDecodeError as error:
            return self.check(False, f"log is not UTF-16LE: {error}")
        if not self.check("\ufeff" not in text, "a second byte order mark in the log"):
            return False
        return self.expect_text(text, name)

    # -- assertions

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
        return bool(condition)

    def expect_text(self, actual, name):
        """Compares `actual` with the file `name` of the scenario folder, placeholders
        allowed."""
        path = (self.dir / name).resolve()
        expected = self._expand_includes(self._expected(path))
        if expected_pattern(expected).fullmatch(actual):
            return True
        shown = os.path.relpath(path, SCENARIOS)
        self.failures.append(f"{shown} differs\n" + readable_diff(expected, actual, shown))
        return False

    def _expand_includes(self, text):
        """Replaces each {{INCLUDE name}} with tests/e2e/common/name.txt."""
        def piece(match):
            return self._expand_includes(self._expected(COMMON / f"{match.group(1)}.txt"))
        return INCLUDE.sub(piece, text)

    def _expected(self, path):
        """An expected text. Where Wine differs from Windows the text is Wine's, and
        <name>.wine-difference.txt beside it says how; the runner prints that once a run."""
        reason_file = path.with_name(f"{path.stem}.wine-difference.txt")
        if reason_file.is_file():
            note = f"{KNOWN_DIFFERENCE}{path.name}: {reason_file.read_text().strip()}"
            if note not in self.notes:
                self.notes.append(note)
        return path.read_bytes().decode("utf-8")


# --- scenarios and the run


OFFLINE_LAB = netlab.Lab(certificate=None)


class Scenario:
    def __init__(self, folder):
        self.dir = folder
        self.name = folder.name
        source = importlib.util.spec_from_file_location(f"scenario_{self.name}",
                                                      folder / "scenario.py")
        self.module = importlib.util.module_from_spec(source)
        source.loader.exec_module(self.module)
        # Why the scenario cannot be played here, or None.
        self.skip = getattr(self.module, "NOT_ON", {}).get("wine")
        needs_x64 = getattr(self.module, "NEEDS_X64_WINE", None)
        if needs_x64 and architecture != ARCHITECTURES["win64"]:
            self.skip = f"fits only 64-bit Windows: {needs_x64}"


class Runner:
    """Plays scenarios with one skelvane.exe on one leg: a copy of the leg's template prefix per
    scenario, from the launcher, which also picks the Wine loader of every run."""

    def __init__(self, tool, leg, keep):
        self.temp = Path(tempfile.mkdtemp(prefix=f"skelvane-e2e-{leg}-"))
        self.tool = tool
        self.leg = leg
        self.kind = LEGS[leg]
        self.keep = keep
        machine, self.image = pe_header(tool)
        self.compiler = COMPILERS[machine]
        self.programs = {}  # helper programs built so far, by source file
        self.timings = {}
        self.cleanups = []
        self.counts = {"passed": 0, "failed": 0, "skipped": 0}
        self.notes = []  # each known Wine difference met, once
        self.retried = []  # (scenario, what Wine printed) played again after Wine failed itself

    def prefix_architecture(self):
        """The Windows of the leg's template prefix (made first if need be), from the "#arch="
        line of its registry."""
        template = Path(launcher("template", self.kind))
        with open(template / "system.reg", encoding="utf-8", errors="replace") as registry:
            for line in registry:
                if line.startswith("#arch="):
                    return ARCHITECTURES[line.strip()[len("#arch="):]]
        raise RuntimeError(f"no #arch line in {template / 'system.reg'}")

    def prepare(self, t):
        started = time.monotonic()
        launcher("copy", self.kind, str(t.prefix))
        self.timings.setdefault("wine prefix copy", []).append(time.monotonic() - started)
        shutil.copy2(self.tool, t.work / "skelvane.exe")

    def environment(self, t):
        return dict(os.environ, WINEPREFIX=str(t.prefix), **WINE_ENV)

    def wine_argv(self, t, args):
        """The command that runs a Windows program (the tool, a helper, or one of Wine's own
        such as regedit) in the scenario's prefix, under the loader the launcher picks."""
        return ["bash", str(LAUNCHER), "run", str(t.prefix)] + list(args)

    def command(self, t, args, argv0, through_cmd=False, program=None):
        tool = t.work / "skelvane.exe"
        if through_cmd:
            # cmd passes the command line as typed: argv[0] is the name, as a user wrote it.
            return self.wine_argv(t, ["cmd", "/c", subprocess.list2cmdline([argv0] + args)])
        if argv0 is None:
            return self.wine_argv(t, [program or str(tool)] + args)
        # Started directly, a program under Wine always sees its full DOS path as argv[0].
        launch = self.build_program("launch.c")
        command_line = subprocess.list2cmdline([argv0] + args)
        return self.wine_argv(t, [str(launch), program or dos_path(tool), command_line])

    def build_program(self, source):
        """A helper program beside run.py (launch.c, ...), built once per runner invocation
        for the Windows program's machine type; returns the .exe's path."""
        if source not in self.programs:
            program = self.temp / Path(source).with_suffix(".exe").name
            subprocess.run([self.compiler, "-municode", "-Wall", "-Wextra", "-Werror",
                            "-O2", "-o", str(program), str(HERE / source)], check=True)
            self.programs[source] = program
        return self.programs[source]

    def build_dll(self, source, path):
        subprocess.run([self.compiler, "-shared", "-Wall", "-Wextra", "-Werror", "-O2",
                        "-o", str(path), str(source)], check=True)

    def kill_server(self, t):
        subprocess.run(["wineserver", "-k"], env=self.environment(t), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)

    def play(self, scenario):
        label = f"{self.leg} {scenario.name}"
        if scenario.skip:
            self.counts["skipped"] += 1
            print(f"SKIP {label}: {scenario.skip}", flush=True)
            return
        failures, notes = self.play_once(scenario, "")
        for again in range(1, WINE_FAILURE_PLAYS):
            said = wine_failure(failures, self.image) if failures else None
            if said is None:
                break
            print(f"RETRY {label}: Wine failed itself: {said}", flush=True)
            self.retried.append((scenario.name, said))
            failures, notes = self.play_once(scenario, f"-again{again}")
        if failures:
            self.counts["failed"] += 1
            first, *rest = [f.replace("\n", "\n     ") for f in failures]
            print(f"FAIL {label}: {first}", flush=True)
            for failure in rest:
                print(f"     {failure}", flush=True)
        else:
            self.counts["passed"] += 1
            print(f"PASS {label}", flush=True)
        for note in notes:
            # A known difference is said once a run; anything else (a figure) under its scenario.
            if not note.startswith(KNOWN_DIFFERENCE):
                print(f"     {note}", flush=True)
            elif note not in self.notes:
                self.notes.append(note)

    def play_once(self, scenario, suffix):
        """Plays the scenario on a fresh prefix; returns its failures and notes."""
        base = self.temp / (scenario.name + suffix)
        base.mkdir()
        context = Context(self, scenario, base)
        context.work.mkdir()
        try:
            self.prepare(context)
            scenario.module.play(context)
        except Exception:
            context.failures.append("scenario raised:\n" + traceback.format_exc().rstrip())
        finally:
            self.kill_server(context)
            while self.cleanups:
                self.cleanups.pop()()
            if not self.keep:
                shutil.rmtree(base, ignore_errors=True)
        return context.failures, context.notes

    def cleanup(self):
        if self.keep:
            print(f"kept: {self.temp}")
        else:
            shutil.rmtree(self.temp, ignore_errors=True)


def launcher(*args):
    """What the launcher prints (a path); an exception with what it said when it fails."""
    result = subprocess.run(["bash", str(LAUNCHER), *args], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"run_under_wine.sh {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout.strip()


def play_leg(options, names, leg):
    """Plays the scenarios on one leg in this process; returns the exit code."""
    global architecture
    started = time.monotonic()
    runner = Runner(options.wine.resolve(), leg, options.keep)
    try:
        architecture = runner.prefix_architecture()
        if architecture != ARCHITECTURES[LEGS[leg]]:
            sys.exit(f"run.py: the {leg} leg's prefix is {architecture}")
        print(f"{leg}: modelled Windows: {architecture}", flush=True)
        for scenario in [Scenario(SCENARIOS / n) for n in names]:
            runner.play(scenario)
    finally:
        runner.cleanup()
    runner.timings["whole e2e run"] = [time.monotonic() - started]

    for note in runner.notes:
        print(note)
    if runner.retried:
        print(f"e2e: {leg}: played again after Wine failed itself: "
              f"{', '.join(name for name, _ in runner.retried)}")
    for what, seconds in runner.timings.items():
        mean = sum(seconds) / len(seconds)
        count = f" (mean of {len(seconds)})" if len(seconds) > 1 else ""
        print(f"time: {leg}: {what}: {mean:.2f} s{count}")
    counts = runner.counts
    print(closing_line(counts))
    return exit_code(counts)


def exit_code(counts):
    if counts["failed"]:
        return 1
    if not counts["passed"]:
        return SKIPPED if counts["skipped"] else 1
    return 0


def closing_line(counts):
    closing = f"e2e: {counts['passed']} passed, {counts['failed']} failed"
    if counts["skipped"]:
        closing += f", {counts['skipped']} skipped"
    return closing


def play_legs(options, legs):
    """Plays each leg in a process of its own, all at once (a run is mostly Wine starting up,
    so two legs share the machine well), then prints their lines leg after leg, each known Wine
    difference once, and one closing line over all."""
    started = time.monotonic()
    children = []
    for leg in legs:
        output = tempfile.TemporaryFile()
        argv = [sys.executable, __file__, "--wine", str(options.wine), "--legs", leg]
        argv += ["--only"] + options.only if options.only else []
        argv += ["--keep"] if options.keep else []
        children.append((leg, output, subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                                          stdout=output, stderr=subprocess.STDOUT)))
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    notes = []
    broken = []
    for leg, output, child in children:
        code = child.wait()
        output.seek(0)
        closed = None  # the leg's own counts, from its closing line
        for line in decode(output.read()).splitlines():
            match = CLOSING.match(line)
            if match:
                closed = [int(value or 0) for value in match.groups()]
                for key, value in zip(("passed", "failed", "skipped"), closed):
                    counts[key] += value
            elif line.startswith(KNOWN_DIFFERENCE):
                if line not in notes:
                    notes.append(line)
            else:
                print(line)
        output.close()
        if closed is None or (code not in (0, SKIPPED) and closed[1] == 0):
            broken.append(f"the {leg} leg ended with exit code {code}")
    for note in notes:
        print(note)
    print(f"time: whole e2e run, {len(legs)} legs at once: {time.monotonic() - started:.2f} s")
    for problem in broken:
        print(f"e2e: {problem}")
    print(closing_line(counts))
    return 1 if broken else exit_code(counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", default=ROOT / "build/windows/skelvane.exe", type=Path,
                        help="skelvane.exe, run under Wine")
    parser.add_argument("--legs", help="comma-separated legs: win32 and wow64 (both by default) "
                        "for the i686 program, win64 for the x86_64 one")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="play only these scenarios")
    parser.add_argument("--keep", action="store_true", help="keep work folders and prefixes")
    options = parser.parse_args()

    names = options.only or sorted(p.name for p in SCENARIOS.iterdir()
                                   if (p / "scenario.py").is_file())
    unknown = [n for n in names if not (SCENARIOS / n / "scenario.py").is_file()]
    if unknown:
        sys.exit(f"run.py: no such scenario: {', '.join(unknown)}")
    if not options.wine.is_file():
        sys.exit(f"run.py: skelvane.exe not found at {options.wine}")
    machine, _ = pe_header(options.wine)
    if machine not in LEGS_OF_MACHINE:
        sys.exit(f"run.py: {options.wine} is for machine type {machine:#06x}")
    legs = options.legs.split(",") if options.legs else LEGS_OF_MACHINE[machine]
    wrong = [leg for leg in legs if leg not in LEGS_OF_MACHINE[machine]]
    if wrong:
        sys.exit(f"run.py: {options.wine} plays the legs {', '.join(LEGS_OF_MACHINE[machine])}, "
                 f"not {', '.join(wrong)}")
    if len(legs) > 1:
        return play_legs(options, legs)
    return play_leg(options, names, legs[0])


if __name__ == "__main__":
    sys.exit(main())
