#!/usr/bin/env python3
"""Writes the sample firmware images used by the tests and the demo."""
import os
import sys


def image(version, script=None, size=4096, signature=b"FWCT"):
    a, b, c, d = version
    data = bytearray(signature + bytes([d, c, b, a]) + bytes(8))
    if script is not None:
        data += b"STANDIN\n" + script.encode() + b"\0"
    while len(data) < size:
        data += bytes((len(data) * 7) & 0xFF for _ in range(min(256, size - len(data))))
    return bytes(data[:size]) if len(data) > size else bytes(data)


FAILING = (
    "out Varnock dock firmware updater\n"
    "out Dock 3A7D:B070 found\n"
    "sleep 400\n"
    "out Writing image: 40%\n"
    "sleep 400\n"
    "err Flash verify error at 0x00012000\n"
    "out Firmware update failed\n"
    "exit 1\n"
)

# A successful update that takes a while, so a test can act on the program during it.
SLOW = (
    "out Varnock dock firmware updater\n"
    "out Dock 3A7D:B070 found\n"
    "err Erasing flash...\n"
    + "".join("sleep 1000\nout Writing image: %d%%\n" % (step * 100 // 20) for step in range(1, 21))
    + "flash\n"
    "out Firmware install (phase-1) completed\n"
)

def main(out):
    os.makedirs(out, exist_ok=True)
    files = {
        "dock-fw-1.3.0.0.bin": image((1, 3, 0, 0)),
        "dock-fw-2.0.0.0-fails.bin": image((2, 0, 0, 0), FAILING),
        "dock-fw-1.4.0.0-slow.bin": image((1, 4, 0, 0), SLOW),
        "dock-fw-too-short.bin": image((1, 4, 0, 0), size=1000),
        "not-a-firmware.bin": image((1, 4, 0, 0), signature=b"MZ\x90\x00"),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
