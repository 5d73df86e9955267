#!/usr/bin/env python3
"""Runs the tool with arguments no update step should pass, and checks what it records.

Empty, very long, non-ASCII, wildcard and separator-laden arguments must neither crash the tool
nor change anything but the two values a run writes: each run ends with status 0, prints the
report, and leaves ParentPattern holding the number the naming rules give for the argument.

    bad_arguments.py --tool build/pattern-counters --reg build/pattern-counters-reg
"""
import argparse
import os
import subprocess
import sys
import tempfile

from store_tools import CLIENT_KEY, REG_DWORD, Programs, dword, integrity, key_values

SATURATED = 4294967295

# (what the argument is, the argument's bytes, the pattern number the rules give)
CASES = [
    ("empty", b"", 0),
    ("10,000 characters without a dot", b"x" * 10000, 0),
    ("5,000 folders before a dated name", b"C:\\" + b"d\\" * 5000 + b"20030214.012", 1350668),
    ("20,000 backslashes before a lettered name", b"\\" * 20000 + b"AV12AB.ZIP", 12582941),
    ("100,000 characters of path", b"C:\\" + b"x" * 99990 + b"\\VD1F.X", 31),
    ("10,000 sequence digits", b"LPT$QMN." + b"9" * 10000, SATURATED),
    ("10,000 leading zeros", b"LPT$QMN." + b"0" * 10000 + b"42", 42),
    ("hexadecimal digits past the 15 characters hide the dot", b"VD" + b"0" * 9000 + b"1F.X", 0),
    ("5,000 colons", b"a:" * 5000 + b"20030214.012", 0),
    ("a dot past the first 15 characters", b"QM12ABCDEFGHIJKL.ZIP", 0),
    ("a non-ASCII byte ends the letters", b"AV12\xe9B.ZIP", 12582912),
    ("a non-ASCII byte after the letters", b"av12ab\xff.zip", 12582941),
    ("only non-ASCII bytes", b"\xff\xfe\xfd.\x80", 0),
    ("a non-ASCII digit look-alike", b"2003\xb2214.012", 0),
    ("a UTF-8 folder name", "C:\\défs\\20030214.012".encode(), 1350668),
    ("a UTF-8 file name", "20030214.01é".encode(), 0),
    ("a star", b"*.dat", 0),
    ("a question mark", b"2003021?.012", 0),
    ("a bracket pattern", b"[0-9]*.012", 0),
    ("a star as hexadecimal digits", b"VD*.X", 0),
    ("a star as sequence digits", b"LPT$QMN.*", 0),
    ("forward slashes do not separate", b"C:/defs/20030214.012", 0),
    ("forward slashes before the last backslash", b"C:\\a/b\\..\\20030214.012", 1350668),
    ("a network path", b"\\\\server\\share\\LPT$QMN.123", 123),
    ("a trailing backslash", b"20030214.012\\", 0),
    ("a colon first", b"::LPT$QMN.7", 0),
    ("a colon inside a folder name", b"C:\\x:y\\LPT$QMN.7", 7),
    ("a space before the sequence digits", b"LPT$QMN. 42", 42),
    ("a tab and a newline before the sequence digits", b"LPT$QMN.\t\n42", 42),
    ("a space before the lettered number", b"AV 12AB.ZIP", 12582912),
    ("a newline after a dated name", b"20030214.012\n", 0),
    ("a newline inside a folder name", b"C:\\de\nfs\\20030214.012", 1350668),
    ("a minus before the sequence digits", b"LPT$QMN.-1", SATURATED),
    ("a minus before the hexadecimal digits", b"VD-1.X", SATURATED),
    ("a help option", b"/?", 0),
    ("a long option", b"--help", 0),
]
SENTINEL = 0xDEADBEEF


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    options = parser.parse_args()

    failures = []
    with tempfile.TemporaryDirectory(prefix="pattern-counters-arguments-") as folder:
        store_path = os.path.join(folder, "registry.db")
        programs = Programs(options.tool, options.reg, store_path)
        programs.set_dword(CLIENT_KEY, "UsingPattern", 1350656)
        programs.set_dword(CLIENT_KEY, "ParentBackRevCounter", 7)
        for title, argument, number in CASES:
            programs.set_dword(CLIENT_KEY, "ParentPattern", SENTINEL)
            programs.set_dword(CLIENT_KEY, "BackRevCounter", 7)
            before = key_values(store_path)
            done = programs.run_tool(argument)
            after = key_values(store_path)
            expected = dict(before, parentpattern=(REG_DWORD, dword(number)),
                            backrevcounter=(REG_DWORD, dword(6)))
            report_ok = done.stdout.startswith(b"ParentBackRevCount= 7\nBackRevCount= 7\n")
            if done.returncode != 0 or done.stderr or not report_ok or after != expected:
                failures.append(f"{title}: status {done.returncode}, stdout {done.stdout!r}, "
                                f"stderr {done.stderr!r}, ParentPattern "
                                f"{after.get('parentpattern')}, expected {number}")
        # A reader of the output that has gone changes neither the writes nor the status.
        programs.set_dword(CLIENT_KEY, "BackRevCounter", 7)
        read_end, write_end = os.pipe()
        os.close(read_end)
        with os.fdopen(write_end, "wb") as gone:
            status = subprocess.run([options.tool, "LPT$QMN.7"], env=programs.env, stdout=gone,
                                    stdin=subprocess.DEVNULL, timeout=120).returncode
        after = key_values(store_path)
        if status != 0 or after["parentpattern"] != (REG_DWORD, dword(7)) or \
                after["backrevcounter"] != (REG_DWORD, dword(6)):
            failures.append(f"output to a reader that has gone: status {status}, values {after}")
        checked = integrity(store_path)
        if checked != "ok":
            failures.append(f"integrity check: {checked}")

    for failure in failures:
        print(f"FAIL {failure}")
    print(f"{len(CASES) - len(failures)} of {len(CASES)} arguments handled as the rules say")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
