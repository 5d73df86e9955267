#!/usr/bin/env python3
"""Finds out whether this machine runs 32-bit x86 programs, by running one.

The program is a minimal 32-bit Linux executable written here byte by byte, so the answer needs
no 32-bit package: its only instructions end the process with status 42. Some kernels cannot run
such programs at all (execve fails with "Exec format error"), and with them no 32-bit Wine loader
or server either.

Exit status 0 when it ran; 1, with the reason on standard output, when it did not.
"""
import os
import struct
import subprocess
import sys
import tempfile

LOAD_ADDRESS = 0x08048000
ELF_HEADER_SIZE = 52
PROGRAM_HEADER_SIZE = 32
RAN_STATUS = 42
# mov eax, 1 (exit); mov ebx, 42; int 0x80
CODE = bytes([0xB8, 1, 0, 0, 0, 0xBB, RAN_STATUS, 0, 0, 0, 0xCD, 0x80])


def tiny_32bit_program():
    """An ELF32 executable for i386: its header, one loadable segment, and CODE."""
    size = ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE + len(CODE)
    identity = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)  # 32-bit, little-endian, version 1
    elf_header = struct.pack("<16sHHIIIIIHHHHHH", identity, 2, 3, 1,  # executable, i386
                             LOAD_ADDRESS + ELF_HEADER_SIZE + PROGRAM_HEADER_SIZE,
                             ELF_HEADER_SIZE, 0, 0, ELF_HEADER_SIZE, PROGRAM_HEADER_SIZE, 1, 0, 0, 0)
    program_header = struct.pack("<8I", 1, 0, LOAD_ADDRESS, LOAD_ADDRESS, size, size, 5, 0x1000)
    return elf_header + program_header + CODE


def main():
    with tempfile.TemporaryDirectory(prefix="pattern-counters-probe-") as folder:
        path = os.path.join(folder, "probe32")
        with open(path, "wb") as program:
            program.write(tiny_32bit_program())
        os.chmod(path, 0o755)
        try:
            status = subprocess.run([path], timeout=30).returncode
        except OSError as error:
            print(error.strerror)
            return 1
    if status != RAN_STATUS:
        print(f"a 32-bit program ended with status {status}, not {RAN_STATUS}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
