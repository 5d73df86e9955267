#!/usr/bin/env python3
"""Checks pattern-counters.exe as it is shipped, from the PE headers that objdump reads.

- a 32-bit console program (PE32, Windows CUI) for Windows NT 4.0 and Windows 95 and later (OS
  and subsystem versions 4.0);
- self-contained: it imports only from system DLLs, and the registry and start-up calls come from
  ADVAPI32 and KERNEL32 themselves;
- it starts on Windows NT 4.0 and on Windows 95: every function it imports is in
  windows_imports.tsv beside this script, which gives the Windows NT version that first exports it
  and the Windows 95, 98 or ME that first implements it (or "stub" where Windows 95 exports it
  only as a stub that fails), each with where that is documented; none is newer than Windows NT
  4.0 or Windows 95 (msvcrt.dll's functions are those of the msvcrt.dll that Windows 95 programs
  install beside them);
- it runs on a Pentium (P5): it holds no instruction of a later processor, such as the Pentium
  Pro's conditional moves and x87 compares, MMX, SSE, or the bit counts and random numbers of later
  processors, nor cpuid, which an early 486 lacks;
- it is small: stripped, at most 256 KiB;
- its application manifest is embedded as resource type 24 (RT_MANIFEST), id 1, and asks to run
  as the invoker without UI access, on the listed Windows versions;
- its version resource (type 16, RT_VERSION, id 1) gives the project's version (from the
  CMakeLists.txt beside the tests) as file and product version, in numbers and in text, with a
  description, the original file name, the product name and the copyright line of the licence
  (LICENSE beside the tests), and names no maker.

    check_executable.py --objdump i686-w64-mingw32-objdump --strip i686-w64-mingw32-strip \
        build-windows/pattern-counters.exe
"""
import argparse
import collections
import os
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
REQUIRED_IMPORTS = {
    "advapi32.dll": {"RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegCloseKey"},
    "kernel32.dll": {"GetModuleHandleA", "GetCommandLineA"},
}
RT_MANIFEST = 24
PROCESS_MANIFEST_ID = 1
RT_VERSION = 16
VERSION_ID = 1
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
PRODUCT_NAME = "pattern-counters"
# The only strings the version resource may hold: none of them names a maker.
VERSION_STRINGS = {"FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                   "OriginalFilename", "ProductName", "ProductVersion"}
PROJECT_FILE = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
IMPORTS_TABLE = pathlib.Path(__file__).resolve().parent / "windows_imports.tsv"
# Windows NT versions in the order they came out, as the table names them.
WINDOWS_VERSIONS = ["Windows NT 3.1", "Windows NT 3.5", "Windows NT 4.0", "Windows 2000",
                    "Windows XP", "Windows Vista", "Windows 7", "Windows 8"]
# The oldest Windows NT the program starts on: no import, from any DLL, may be newer.
OLDEST_WINDOWS = "Windows NT 4.0"
# Windows 95, 98 and ME in the order they came out, and the oldest the program starts on. A
# function that Windows 95 exports only as a stub that fails is a "stub" in the table.
WINDOWS_9X_VERSIONS = ["Windows 95", "Windows 98", "Windows ME"]
OLDEST_WINDOWS_9X = "Windows 95"
WINDOWS_9X_STUB = "stub"
# What a Pentium (P5) lacks, by the processor that brought it, each known by its mnemonics or by
# the registers it names.
LATER_PROCESSOR_INSTRUCTIONS = {
    "cmov": re.compile(r"\bcmov[a-z]+\b"),
    "fcmov": re.compile(r"\bfcmov[a-z]+\b"),
    "fcomi/fucomi": re.compile(r"\bfu?comip?\b"),
    "other Pentium Pro or Pentium II instructions": re.compile(r"\b(rdpmc|sysenter|sysexit)\b"),
    "an MMX, SSE or AVX register": re.compile(r"%[xyz]?mm\d"),
    "emms": re.compile(r"\bf?emms\b"),
    "the SSE control register": re.compile(r"\b(ld|st)mxcsr\b"),
    "SSE cache control": re.compile(r"\b(prefetch\w*|movnti|clflush\w*|[lsm]fence)\b"),
    "the MMX and SSE state save": re.compile(r"\bfx(save|rstor)\b"),
    "tzcnt/lzcnt/popcnt": re.compile(r"\b(tz|lz|pop)cnt\b"),
    "other bit manipulation": re.compile(
        r"\b(andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|pext|mulx|sarx|shlx|shrx|rorx|adcx|adox|movbe)\b"),
    "rdrand/rdseed": re.compile(r"\brd(rand|seed)\b"),
    "cpuid": re.compile(r"\bcpuid\b"),
}
# Tables the linker places among the code, which objdump disassembles as if they were code.
DATA_AMONG_CODE = {".gcc_except_table", "__CTOR_LIST__", "__DTOR_LIST__"}
MAX_STRIPPED_SIZE = 256 * 1024
LICENSE_FILE = PROJECT_FILE.parent / "LICENSE"
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


def import_table():
    """The table of functions: (dll, function) -> (first Windows NT, first Windows 95, 98 or ME)."""
    table = {}
    for line in IMPORTS_TABLE.read_text().splitlines()[1:]:
        dll, function, first, _source, first_9x, _source_9x = line.split("\t")
        table[(dll.lower(), function)] = (first, first_9x)
    return table


def version_problem(name, dll, first, versions, oldest, family):
    """Why the import of name needs a newer Windows of the family than the oldest, or None."""
    if first not in versions:
        return (f"imports {name} from {dll}, for which windows_imports.tsv knows no version of "
                f"{family}")
    if versions.index(first) > versions.index(oldest):
        return f"imports {name} from {dll}, which needs {first}: newer than {oldest}"
    return None


def import_problems(imports):
    """What imports stop the program from starting where it must; prints what it imports."""
    table = import_table()
    problems = []
    needed = []
    for dll, names in sorted(imports.items()):
        for name in sorted(names):
            if (dll, name) not in table:
                problems.append(f"imports {name} from {dll}, which windows_imports.tsv does not "
                                "list with the Windows versions that first have it")
                continue
            first, first_9x = table[(dll, name)]
            if first_9x == WINDOWS_9X_STUB:
                problems.append(f"imports {name} from {dll}, which {OLDEST_WINDOWS_9X} exports "
                                "only as a stub that fails")
                continue
            found = [version_problem(name, dll, first, WINDOWS_VERSIONS, OLDEST_WINDOWS,
                                     "Windows NT"),
                     version_problem(name, dll, first_9x, WINDOWS_9X_VERSIONS, OLDEST_WINDOWS_9X,
                                     "Windows 95, 98 and ME")]
            problems += [problem for problem in found if problem]
            if not any(found):
                needed.append((first, first_9x))
    count = sum(len(names) for names in imports.values())
    if len(needed) == count:
        oldest = max((first for first, _ in needed), key=WINDOWS_VERSIONS.index, default="none")
        oldest_9x = max((first for _, first in needed), key=WINDOWS_9X_VERSIONS.index,
                        default="none")
        print(f"{count} imported functions; every one is present on {oldest} and later, and on "
              f"{oldest_9x} and later (msvcrt.dll's with msvcrt.dll installed)")
    else:
        print(f"{count} imported functions; {count - len(needed)} of them missing or too new "
              "where the program must start")
    return problems


def instructions(tool, exe):
    """The program's instructions as objdump disassembles them, as (address, function, text)
    without the names of the symbols they refer to, and without the data tables among them. The
    function is the symbol the instruction follows (none in a stripped program)."""
    function = "?"
    in_data = False
    for line in objdump(tool, "-d", "--no-show-raw-insn", exe).splitlines():
        label = re.match(r"[0-9a-f]+ <(.+)>:$", line)
        if label:
            function = label.group(1)
            in_data = function in DATA_AMONG_CODE
            continue
        instruction = re.match(r"\s+([0-9a-f]+):\t(.+)$", line)
        if instruction and not in_data:
            yield (instruction.group(1), function,
                   re.sub(r" ?<[^>]*>", "", instruction.group(2)))


def processor_problems(tool, exe):
    """What in the program a Pentium cannot run; prints how many instructions were looked at."""
    count = 0
    later = collections.defaultdict(list)
    for address, function, text in instructions(tool, exe):
        count += 1
        for what, pattern in LATER_PROCESSOR_INSTRUCTIONS.items():
            if pattern.search(text):
                later[what].append(f"{text} at {address} in {function}")
    verdict = ("none of a later processor: runs on a Pentium or later" if not later
               else "some of later processors: a Pentium cannot run it")
    print(f"processor: {count} instructions, {verdict}")
    return [f"{len(found)} instruction(s) of {what}, which a Pentium lacks, such as {found[0]}"
            for what, found in later.items()]


def size_problems(strip, exe):
    """The stripped program's size, printed, and whether it is small enough."""
    with tempfile.TemporaryDirectory() as folder:
        stripped = os.path.join(folder, "stripped.exe")
        subprocess.run([strip, "-o", stripped, exe], check=True)
        size = os.path.getsize(stripped)
    print(f"stripped size: {size} bytes ({size / 1024:.0f} KiB, at most {MAX_STRIPPED_SIZE // 1024})")
    return [] if size <= MAX_STRIPPED_SIZE else [f"stripped, the program is {size} bytes"]


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


def project_version():
    """The version that CMakeLists.txt sets in project(), as a tuple of three numbers."""
    match = re.search(r"project\(\s*\S+\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                      PROJECT_FILE.read_text())
    return tuple(int(part) for part in match.groups())


def version_block(data, offset):
    """One block of a version resource at offset: (key, value bytes, children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[value_start:value_start + value_size]
    children = []
    child = (value_start + value_size + 3) & ~3
    while child < end:
        block = version_block(data, child)
        children.append(block)
        child = (block[3] + 3) & ~3
    return key, value, children, end


def version_strings(root):
    """The StringFileInfo strings of a parsed version resource, by name."""
    strings = {}
    for key, _, tables, _ in root[2]:
        if key == "StringFileInfo":
            for _, _, entries, _ in tables:
                for name, value, _, _ in entries:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    return strings


def version_problems(data, exe_name, version):
    try:
        root = version_block(data, 0)
    except (struct.error, UnicodeDecodeError) as error:
        return [f"the version resource cannot be read: {error}"]
    if root[0] != "VS_VERSION_INFO" or len(root[1]) < 52:
        return [f"the version resource starts with {root[0]!r}, not VS_VERSION_INFO"]
    problems = []
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", root[1])
    if signature != FIXED_FILE_INFO_SIGNATURE:
        problems.append(f"the fixed file information has the signature {signature:#x}")
    text = ".".join(str(part) for part in version)
    for what, high, low in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
        numbers = f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
        if numbers != text + ".0":
            problems.append(f"the {what} version number is {numbers}, expected {text}.0")
    strings = version_strings(root)
    print("version strings:", strings)
    copyright_line = next(line for line in LICENSE_FILE.read_text().splitlines()
                          if line.startswith("Copyright (c) "))
    expected = {"FileVersion": text, "ProductVersion": text, "ProductName": PRODUCT_NAME,
                "OriginalFilename": exe_name, "LegalCopyright": copyright_line}
    for name, value in expected.items():
        if strings.get(name) != value:
            problems.append(f"{name} is {strings.get(name)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        problems.append("the version resource has no FileDescription")
    for name in sorted(set(strings) - VERSION_STRINGS):
        problems.append(f"the version resource holds {name}, which names no part of the program")
    return problems


def manifest_problems(text, version):
    problems = []
    try:
        root = ElementTree.fromstring(text)
    except ElementTree.ParseError as error:
        return [f"the manifest is not well-formed XML: {error}"]
    identity = root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
    expected_version = ".".join(str(part) for part in version) + ".0"
    if identity is None or identity.get("version") != expected_version:
        shown = None if identity is None else identity.get("version")
        problems.append(f"the manifest's assembly version is {shown}, expected {expected_version}")
    if identity is not None and identity.get("processorArchitecture") != "x86":
        problems.append(f"the manifest names the architecture "
                        f"{identity.get('processorArchitecture')}, expected x86")
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
    parser.add_argument("--strip", required=True, help="the MinGW-w64 strip")
    parser.add_argument("exe", help="the program to check")
    options = parser.parse_args()

    headers = objdump(options.objdump, "-p", options.exe)
    problems = []

    if header_field(headers, "Magic")[1] != "(PE32)":
        problems.append(f"not a 32-bit program: Magic {header_field(headers, 'Magic')}")
    if header_field(headers, "Subsystem")[1] != "(Windows CUI)":
        problems.append(f"not a console program: Subsystem {header_field(headers, 'Subsystem')}")
    for field, expected in (("MajorOSystemVersion", "4"), ("MinorOSystemVersion", "0"),
                            ("MajorSubsystemVersion", "4"), ("MinorSubsystemVersion", "0")):
        if header_field(headers, field)[0] != expected:
            problems.append(f"{field} is {header_field(headers, field)[0]}, expected {expected}")

    imports = imports_by_dll(headers)
    print("imports:", ", ".join(sorted(imports)))
    for dll in sorted(set(imports) - SYSTEM_DLLS):
        problems.append(f"imports from {dll}, which is not a system DLL")
    for dll, names in REQUIRED_IMPORTS.items():
        for name in sorted(names - imports.get(dll, set())):
            problems.append(f"does not import {name} from {dll}")
    problems += import_problems(imports)
    problems += processor_problems(options.objdump, options.exe)
    problems += size_problems(options.strip, options.exe)

    version = project_version()
    image_base = int(header_field(headers, "ImageBase")[0], 16)
    leaves = resource_leaves(headers)
    def resource(kind, type_id, name_id):
        """The bytes of the one resource of that type and id, or None (with the problem noted)."""
        found = [leaf for leaf in leaves if leaf[:2] == (type_id, name_id)]
        if len(found) != 1:
            problems.append(f"expected one {kind} resource (type {type_id}, id {name_id}), "
                            f"found {len(found)}")
            return None
        _, _, rva, size = found[0]
        data = section_bytes(options.objdump, options.exe, image_base + rva, size)
        print(f"{kind} resource: type {type_id}, id {name_id}, {size} bytes at RVA {rva:#x}")
        if len(data) != size:
            problems.append(f"read {len(data)} of the {kind}'s {size} bytes")
        return data

    manifest = resource("manifest", RT_MANIFEST, PROCESS_MANIFEST_ID)
    if manifest is not None:
        problems += manifest_problems(manifest, version)
    version_data = resource("version", RT_VERSION, VERSION_ID)
    if version_data is not None:
        problems += version_problems(version_data, os.path.basename(options.exe), version)

    for problem in problems:
        print(f"FAIL {problem}")
    print("ok" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
