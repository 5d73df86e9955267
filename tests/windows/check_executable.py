#!/usr/bin/env python3
"""Checks pattern-counters.exe as it is shipped, from the PE headers that objdump reads.

- a 32-bit console program (PE32, Windows CUI);
- self-contained: it imports only from system DLLs, and the registry and start-up calls come from
  ADVAPI32 and KERNEL32 themselves;
- its application manifest is embedded as resource type 24 (RT_MANIFEST), id 1, and asks to run
  as the invoker without UI access, on the listed Windows versions.

    check_executable.py --objdump i686-w64-mingw32-objdump build-windows/pattern-counters.exe
"""
import argparse
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
REQUIRED_IMPORTS = {
    "advapi32.dll": {"RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"},
    "kernel32.dll": {"GetModuleHandleA", "GetCommandLineA"},
}
RT_MANIFEST = 24
PROCESS_MANIFEST_ID = 1
TRUST_NS = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY_NS = "{urn:schemas-microsoft-com:compatibility.v1}"


def objdump(tool, *arguments):
    return subprocess.run([tool, *arguments], check=True, capture_output=True, text=True).stdout


def header_field(headers, name):
    match = re.search(rf"^{name}\s+(\S+)(.*)$", headers, re.MULTILINE)
    return (match.group(1), match.group(2).strip()) if match else (None, "")


def imports_by_dll(headers):
    """Maps each imported DLL (lower case) to the names imported from it."""
    imports = {}
    current = None
    for line in headers.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = imports.setdefault(dll.group(1).lower(), set())
            continue
        if line and not line[0].isspace():
            current = None  # the import tables have ended
        member = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if current is not None and member:
            current.add(member.group(1))
    return imports


def resource_leaves(headers):
    """Lists the resources as (type id, name id, rva, size) from the resource directory dump."""
    leaves = []
    path = []
    for line in headers.splitlines():
        entry = re.match(r"[0-9a-f]+( +)Entry: ID: 0x([0-9a-f]+)", line)
        if entry:
            depth = len(entry.group(1)) // 2
            path = path[:depth - 1] + [int(entry.group(2), 16)]
            continue
        leaf = re.match(r"[0-9a-f]+ +Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)", line)
        if leaf and len(path) >= 2:
            leaves.append((path[0], path[1], int(leaf.group(1), 16), int(leaf.group(2), 16)))
    return leaves


def section_bytes(tool, exe, start, size):
    """The bytes at virtual addresses [start, start + size) of the .rsrc section."""
    dump = objdump(tool, "-s", "-j", ".rsrc", f"--start-address={start:#x}",
                   f"--stop-address={start + size:#x}", exe)
    data = bytearray()
    for line in dump.splitlines():
        row = re.match(r" [0-9a-f]+ ((?:[0-9a-f]{2,8} ?)+)", line)
        if row:
            data += bytes.fromhex(row.group(1)[:35].replace(" ", ""))
    return bytes(data[:size])


def manifest_problems(text):
    problems = []
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return [f"the manifest is not well-formed XML: {error}"]
    levels = root.findall(f".//{TRUST_NS}trustInfo/{TRUST_NS}security/{TRUST_NS}requestedPrivileges/"
                          f"{TRUST_NS}requestedExecutionLevel")
    if len(levels) != 1:
        problems.append(f"expected one requestedExecutionLevel in trustInfo, found {len(levels)}")
    elif (levels[0].get("level"), levels[0].get("uiAccess")) != ("asInvoker", "false"):
        problems.append(f"requestedExecutionLevel is {levels[0].attrib}, "
                        "expected level=asInvoker uiAccess=false")
    if not root.findall(f".//{COMPATIBILITY_NS}application/{COMPATIBILITY_NS}supportedOS"):
        problems.append("the manifest declares no supportedOS")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", required=True, help="the MinGW-w64 objdump")
    parser.add_argument("exe", help="the program to check")
    options = parser.parse_args()

    headers = objdump(options.objdump, "-p", options.exe)
    problems = []

    if header_field(headers, "Magic")[1] != "(PE32)":
        problems.append(f"not a 32-bit program: Magic {header_field(headers, 'Magic')}")
    if header_field(headers, "Subsystem")[1] != "(Windows CUI)":
        problems.append(f"not a console program: Subsystem {header_field(headers, 'Subsystem')}")

    imports = imports_by_dll(headers)
    print("imports:", ", ".join(sorted(imports)))
    for dll in sorted(set(imports) - SYSTEM_DLLS):
        problems.append(f"imports from {dll}, which is not a system DLL")
    for dll, names in REQUIRED_IMPORTS.items():
        for name in sorted(names - imports.get(dll, set())):
            problems.append(f"does not import {name} from {dll}")

    manifests = [leaf for leaf in resource_leaves(headers)
                 if leaf[:2] == (RT_MANIFEST, PROCESS_MANIFEST_ID)]
    if len(manifests) != 1:
        problems.append(f"expected one manifest resource (type 24, id 1), found {len(manifests)}")
    else:
        image_base = int(header_field(headers, "ImageBase")[0], 16)
        _, _, rva, size = manifests[0]
        text = section_bytes(options.objdump, options.exe, image_base + rva, size)
        print(f"manifest resource: type 24, id 1, {size} bytes at RVA {rva:#x}")
        if len(text) != size:
            problems.append(f"read {len(text)} of the manifest's {size} bytes")
        problems += manifest_problems(text)

    for problem in problems:
        print(f"FAIL {problem}")
    print("ok" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
