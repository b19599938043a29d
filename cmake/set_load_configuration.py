#!/usr/bin/env python3
"""Points a PE's load-configuration entry (data directory 10) at the
program's own IMAGE_LOAD_CONFIG_DIRECTORY64, the symbol _load_config_used.

GNU ld leaves the entry empty. The symbol's address is read from the first
(unstripped) executable with nm; every executable named is patched, the
stripped copies too, and each is checked to hold the structure there.

    set_load_configuration.py NM EXE [EXE ...]
"""
import struct
import subprocess
import sys

LOAD_CONFIG_ENTRY = 10
SYMBOL = "_load_config_used"
# IMAGE_LOAD_CONFIG_DIRECTORY64.DependentLoadFlags (the headers' Reserved1)
DEPENDENT_LOAD_FLAGS = 0x4E


def symbol_address(nm, exe):
    out = subprocess.run([nm, exe], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[2] == SYMBOL:
            return int(parts[0], 16)
    sys.exit(f"{exe}: no {SYMBOL} symbol")


def headers(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE file")
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        sys.exit("not a PE32+ file")
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    sections = optional + struct.unpack_from("<H", data, pe + 20)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    return optional, image_base, sections, count


def file_offset(data, rva):
    _, _, sections, count = headers(data)
    for i in range(count):
        entry = sections + 40 * i
        size, address, raw_size, raw = struct.unpack_from("<IIII", data, entry + 8)
        if address <= rva < address + max(size, raw_size):
            return raw + rva - address
    sys.exit(f"RVA {rva:#x} lies in no section")


def patch(exe, rva):
    data = bytearray(open(exe, "rb").read())
    optional, _, _, _ = headers(data)
    offset = file_offset(data, rva)
    size = struct.unpack_from("<I", data, offset)[0]
    flags = struct.unpack_from("<H", data, offset + DEPENDENT_LOAD_FLAGS)[0]
    if size <= DEPENDENT_LOAD_FLAGS or flags == 0:
        sys.exit(f"{exe}: no load configuration at RVA {rva:#x}")
    struct.pack_into("<II", data, optional + 112 + 8 * LOAD_CONFIG_ENTRY, rva, size)
    open(exe, "wb").write(data)


def main():
    nm, exes = sys.argv[1], sys.argv[2:]
    data = open(exes[0], "rb").read()
    _, image_base, _, _ = headers(data)
    rva = symbol_address(nm, exes[0]) - image_base
    for exe in exes:
        patch(exe, rva)


if __name__ == "__main__":
    main()
