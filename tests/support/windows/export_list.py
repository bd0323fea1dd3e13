#!/usr/bin/env python3
"""Writes the .def file of the DLL that holds the code under test: every global function and
variable the product's own objects define, and none of the inline or template code they carry
(that lives in COMDAT sections, and the test program has its own copy: exporting it would clash).
Virtual tables are the exception: GCC puts them in COMDAT sections too, but a class whose first
virtual function is defined out of line has its table only where that function is, and a test
that constructs such a class (an inline constructor) needs it from the DLL.

    export_list.py OBJDUMP OUTPUT.def OBJECT...
"""

import re
import subprocess
import sys

PLAIN_SECTIONS = {".text", ".data", ".bss", ".rdata"}
SYMBOL = re.compile(r"^\[\s*\d+\]\(sec\s+(\d+)\)\(fl [^)]*\)\(ty\s+[0-9a-f]+\)\(scl\s+2\) "
                    r"\(nx \d+\) 0x[0-9a-f]+ (\S+)$")
VIRTUAL_TABLE = re.compile(r"^_?_ZTV")
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
        if not match:
            continue
        section = sections.get(int(match.group(1)), "")
        name = match.group(2)
        virtual_table = section.startswith(".rdata$") and VIRTUAL_TABLE.match(name)
        if section not in PLAIN_SECTIONS and not virtual_table:
            continue
        # Data is marked so: the test program then reaches it through the import's address
        # (auto-import) instead of taking a jump stub for the variable.
        kind = "" if section == ".text" else " DATA"
        if leading_underscore:
            name = name[1:]
        yield name + kind


def main():
    objdump, output, objects = sys.argv[1], sys.argv[2], sys.argv[3:]
    leading_underscore = "i686" in objdump
    names = sorted({name for path in objects for name in exports(objdump, path, leading_underscore)})
    with open(output, "w") as out:
        out.write("EXPORTS\n")
        for name in names:
            out.write(f"    {name}\n")


if __name__ == "__main__":
    main()
