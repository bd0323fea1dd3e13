#!/usr/bin/env python3
"""Line and branch coverage of the tool's own code (app/, report/, trust/, net/, cache/,
sysinfo/) in a build made with --coverage, after its tests ran: gcov's counts, summed over the
files. The Windows test build (-DSKELVANE_COVERAGE=ON, its tests run under Wine) keeps the
product's objects in product_objects.dir and needs mingw's gcov.

    python3 tests/coverage/summary.py BUILD_DIR [--files] [--objects NAME.dir] [--gcov TOOL]
"""
import pathlib
import re
import subprocess
import sys

TOOL_DIRS = ("app", "report", "trust", "net", "cache", "sysinfo")


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    per_file = "--files" in sys.argv
    objects_name = option("--objects", "skelvane_core.dir")
    gcov = option("--gcov", "gcov")
    objects = build / "CMakeFiles" / objects_name
    totals = [0, 0, 0, 0]  # lines, lines run, branches, branches taken
    for data in sorted(objects.rglob("*.gcda")):
        if data.relative_to(objects).parts[0] not in TOOL_DIRS:
            continue
        out = subprocess.run([gcov, "-b", "-n", "-o", str(data.parent), str(data)],
                             capture_output=True, text=True, cwd=build).stdout
        # gcov reports each source it saw; only the object's own source counts.
        source = data.name[: -len(".gcda")]
        for suffix in (".o", ".obj"):
            if source.endswith(suffix):
                source = source[: -len(suffix)]
        for block in out.split("File '")[1:]:
            block = "File '" + block
            m = re.search(r"File '([^']*)'", block)
            if not m or not m.group(1).endswith("/" + source):
                continue
            lines = re.search(r"Lines executed:([\d.]+)% of (\d+)", block)
            taken = re.search(r"Taken at least once:([\d.]+)% of (\d+)", block)
            counts = [0, 0, 0, 0]
            if lines:
                counts[0] = int(lines.group(2))
                counts[1] = round(float(lines.group(1)) * counts[0] / 100)
            if taken:
                counts[2] = int(taken.group(2))
                counts[3] = round(float(taken.group(1)) * counts[2] / 100)
            totals = [a + b for a, b in zip(totals, counts)]
            if per_file:
                print(f"{m.group(1)}: lines {counts[1]}/{counts[0]}, branches {counts[3]}/{counts[2]}")
    lines, run, branches, taken = totals
    print(f"lines: {run}/{lines} = {100.0 * run / max(lines, 1):.1f}%")
    print(f"branch outcomes: {taken}/{branches} = {100.0 * taken / max(branches, 1):.1f}%")


if __name__ == "__main__":
    main()
