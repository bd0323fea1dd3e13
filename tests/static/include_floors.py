#!/usr/bin/env python3
"""Checks that each product folder includes only from its own folder and from the floors below
it, never from a folder beside it or above it:

    include_floors.py [SOURCE_DIR]

Prints each include that breaks the order, and exits 1 when there is any.
"""

import re
import sys
from pathlib import Path

# Lowest first; folders on one floor are beside each other.
FLOORS = [["platform"], ["vendor"], ["report", "sysinfo"], ["net", "trust", "cache"], ["app"]]
FLOOR_OF = {folder: level for level, folders in enumerate(FLOORS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def breaches(root):
    for folder in FLOOR_OF:
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".in"):
                continue
            for included in INCLUDE.findall(source.read_text(encoding="utf-8")):
                target = included.split("/")[0] if "/" in included else folder
                if target not in FLOOR_OF:
                    yield f"{source.relative_to(root)}: includes {included}, of no product floor"
                elif target != folder and FLOOR_OF[target] >= FLOOR_OF[folder]:
                    where = "beside" if FLOOR_OF[target] == FLOOR_OF[folder] else "above"
                    yield f"{source.relative_to(root)}: includes {included}, from {where} it"


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[2])
    found = list(breaches(root))
    for line in found:
        print(line)
    checked = ", ".join("/".join(folders) for folders in reversed(FLOORS))
    print(f"include floors ({checked}): {len(found)} breach(es)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
