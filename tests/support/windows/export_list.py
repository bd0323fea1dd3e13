#!/usr/bin/env python3
"""Writes the .def file of the DLL that holds the code under test: every global function and
variable the product's own objects define, and none of the inline or template code they carry
(that lives in COMDAT sections, and the test program has its own copy: exporting it would clash).
Variables are marked DATA.

    export_list.py OBJDUMP OUTPUT.def OBJECT...
"""

import re
import subprocess
import sys

PLAIN_SECTIONS = {".text", ".data", ".bss", ".rdata"}
SYMBOL = re.compile(r"^\[\s*\d+\]\(sec\s+(\d+)\)\(fl [^)]*\)\(ty\s+[0-9a-f]+\)\(scl\s+2\) "
                    r"\(nx \d+\) 0x[0-9a-f]+ (\S+)$")
SECTION = re.compile(r"^\s*(\d+) (\S+)\s")


def exports(objdump, path, leading_underscore):
    headers = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True)
    sections = {}
    for line in headers.stdout.splitlines():
        match = SECTION.match(line)
        if match:
            sections[int(match.group(1)) + 1] = match.group(2)
    table = subprocess.run([objdump, "-t", path], check=True, capture_output=True, text=True)
    for line in table.stdout.splitlines():
        match = SYMBOL.match(line)
        if not match or sections.get(int(match.group(1))) not in PLAIN_SECTIONS:
            continue
        name = match.group(2)
        if leading_underscore:
            name = name[1:]
        yield name, sections[int(match.group(1))] != ".text"


def main():
    objdump, output, objects = sys.argv[1], sys.argv[2], sys.argv[3:]
    leading_underscore = "i686" in objdump
    names = sorted({export for path in objects for export in exports(objdump, path,
                                                                     leading_underscore)})
    with open(output, "w") as out:
        out.write("EXPORTS\n")
        # Variables are DATA: a program's reference then reaches the variable itself (through
        # the auto-import of its address), not a jump stub that only calls can go through.
        for name, data in names:
            out.write(f"    {name}{' DATA' if data else ''}\n")


if __name__ == "__main__":
    main()
