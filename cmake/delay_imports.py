#!/usr/bin/env python3
"""The Delay Import Directory of skelvane.exe.

binutils' linker places the descriptors of the delay-loaded DLLs (.text$2, from dlltool's
delay-load libraries) but writes neither their closing entry nor their place in the image header,
so no tool (nor __HrLoadAllImportsForDll) would find them. platform/windows/system_dlls.cpp adds
the closing entry (.text$3, right after them); this script writes the header.

    delay_imports.py fill EXE MAP   point the header at the descriptors the linker map lists
    delay_imports.py list EXE       print each delay-loaded DLL and its functions, as the image has them
"""

import re
import struct
import sys

DESCRIPTOR_SIZE = 32
DELAY_IMPORT_ENTRY = 13
DESCRIPTOR = re.compile(r"^\s+0x([0-9a-f]+)\s+_*DELAY_IMPORT_DESCRIPTOR_\S+$", re.M)
CLOSING_ENTRY = re.compile(r"^\s+0x([0-9a-f]+)\s+_?skelvaneDelayImportsEnd$", re.M)


class Image:
    def __init__(self, data):
        self.data = data
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset : pe_offset + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (self.section_count,) = struct.unpack_from("<H", data, pe_offset + 6)
        (optional_size,) = struct.unpack_from("<H", data, pe_offset + 20)
        optional = pe_offset + 24
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            (self.image_base,) = struct.unpack_from("<I", data, optional + 28)
            directories, self.thunk_size = optional + 96, 4
        elif magic == 0x20B:
            (self.image_base,) = struct.unpack_from("<Q", data, optional + 24)
            directories, self.thunk_size = optional + 112, 8
        else:
            raise ValueError("unknown optional header")
        self.delay_entry = directories + 8 * DELAY_IMPORT_ENTRY
        self.checksum = optional + 64
        self.sections = optional + optional_size

    def offset(self, rva):
        for index in range(self.section_count):
            _, size, address, raw_size, raw_offset = struct.unpack_from(
                "<8sIIII", self.data, self.sections + 40 * index)
            if address <= rva < address + max(size, raw_size) and rva - address < raw_size:
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section of the file")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode("ascii")


def fill(exe_path, map_path):
    with open(map_path, encoding="utf-8", errors="replace") as map_file:
        linker_map = map_file.read()
    descriptors = sorted(int(address, 16) for address in DESCRIPTOR.findall(linker_map))
    closing = [int(address, 16) for address in CLOSING_ENTRY.findall(linker_map)]
    if not descriptors or len(closing) != 1:
        sys.exit(f"{map_path}: no delay descriptors, or not one closing entry")
    expected = [descriptors[0] + DESCRIPTOR_SIZE * i for i in range(len(descriptors) + 1)]
    if descriptors + closing != expected:
        sys.exit(f"{map_path}: the delay descriptors and their closing entry are not one array")
    with open(exe_path, "r+b") as exe:
        data = bytearray(exe.read())
        image = Image(data)
        rva = descriptors[0] - image.image_base
        struct.pack_into("<II", data, image.delay_entry, rva, DESCRIPTOR_SIZE * len(expected))
        # Before the helper's first call each address table entry leads to its function's
        # thunk; an entry the linker left zero would be a call to address 0.
        for dll, functions, addresses in delay_imports(image):
            for function, address in zip(functions, addresses):
                if address < image.image_base:
                    sys.exit(f"{exe_path}: {dll} {function}: no thunk in the address table")
        # The linker's checksum covered the bytes before this change.
        struct.pack_into("<I", data, image.checksum, pe_checksum(data, image.checksum))
        exe.seek(0)
        exe.write(data)


def pe_checksum(data, checksum_offset):
    """The image checksum as the linker and signing tools compute it: the 16-bit words of the
    file (its checksum field taken as zero) summed with their carries folded, plus its length."""
    padded = bytes(data[:checksum_offset]) + b"\0\0\0\0" + bytes(data[checksum_offset + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(data)) & 0xFFFFFFFF


def delay_imports(image):
    rva, size = struct.unpack_from("<II", image.data, image.delay_entry)
    if rva == 0:
        return
    thunk = "<I" if image.thunk_size == 4 else "<Q"
    ordinal_flag = 1 << (8 * image.thunk_size - 1)
    for index in range(size // DESCRIPTOR_SIZE):
        attributes, name, _, addresses, names = struct.unpack_from(
            "<5I", image.data, image.offset(rva + DESCRIPTOR_SIZE * index))
        if name == 0:
            return
        if attributes != 1:
            raise ValueError("a delay descriptor holds addresses, not RVAs")
        functions, targets = [], []
        while True:
            (entry,) = struct.unpack_from(thunk, image.data, image.offset(names))
            if entry == 0:
                break
            functions.append(f"#{entry & 0xFFFF}" if entry & ordinal_flag else
                             image.string(entry + 2))
            targets.append(struct.unpack_from(thunk, image.data, image.offset(addresses))[0])
            names += image.thunk_size
            addresses += image.thunk_size
        yield image.string(name), functions, targets
    raise ValueError("the delay descriptors have no closing entry")


def main(arguments):
    if len(arguments) == 3 and arguments[0] == "fill":
        fill(arguments[1], arguments[2])
    elif len(arguments) == 2 and arguments[0] == "list":
        with open(arguments[1], "rb") as exe:
            for dll, functions, _ in delay_imports(Image(exe.read())):
                print(f"{dll}: {' '.join(functions)}")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
