#!/usr/bin/env python3
"""Packs the build with CPack and checks the Debian package as an administrator meets it.

In a scratch folder: the .deb and the .tar.gz are made from the build; the .deb carries the
project's version, unpacks (dpkg-deb -x) into the programs, their manual pages and the
documentation; both programs run from there on a fresh store, and man renders both pages
without a warning; the copyright file gives the licence of LICENSE in Debian's machine-readable
form, in the .deb and in the .tar.gz; apt-get resolves the package's dependencies (a simulated
install), and lintian, with its pedantic and informational tags, reports nothing.

    check_debian_package.py --build build --version 1.0.0
"""
import argparse
import glob
import os
import pathlib
import subprocess
import sys
import tarfile
import tempfile

PACKAGE = "pattern-counters"
CLIENT_KEY = r"HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\CurrentVersion"
PAGES = ["pattern-counters.1.gz", "pattern-counters-reg.1.gz"]
LICENSE_FILE = pathlib.Path(__file__).resolve().parents[2] / "LICENSE"
COPYRIGHT = f"share/doc/{PACKAGE}/copyright"
DOCUMENTS = ["README", "copyright", "changelog.gz"]

# The tool from the package, run twice on a store holding only UsingPattern, and what the store
# holds afterwards: each (command, expected standard output).
RUNS = [
    (["bin/pattern-counters", r"C:\defs\20030214.012"], "Cannot open CurrentVersion key.\n"),
    (["bin/pattern-counters-reg", "add", CLIENT_KEY, "/v", "UsingPattern", "/t", "REG_DWORD",
      "/d", "1350656", "/f"], "The operation completed successfully.\n"),
    (["bin/pattern-counters", r"C:\defs\20030214.012"],
     "Fail to query ParentBackRevCounter.\nCannot query BackRevCounter.\n"
     "Cannot query ParentPattern.\nParentBackRevCount= 0\nBackRevCount= 0\nParent Pattern= 0\n"
     "Current Pattern= 1350656\nParent and Local Pattern versions are different.\n"),
    (["bin/pattern-counters-reg", "query", CLIENT_KEY, "/v", "BackRevCounter"],
     f"\nHKEY_LOCAL_MACHINE\\{CLIENT_KEY[5:]}\n    BackRevCounter    REG_DWORD    0x270f\n\n"),
]


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def pack(build, folder):
    """Runs CPack on the build into folder. Returns the .deb, or None after printing why."""
    packed = run(["cpack", "--config", str(build / "CPackConfig.cmake"), "-B", str(folder)])
    debs = glob.glob(str(folder / f"{PACKAGE}_*.deb"))
    if packed.returncode != 0 or len(debs) != 1:
        print(packed.stdout, packed.stderr)
        return None
    return pathlib.Path(debs[0])


def licence_problems(copyright_text, where):
    """What the copyright file lacks of the licence: Debian's format, and LICENSE's terms."""
    problems = []
    if not copyright_text.startswith("Format: https://www.debian.org/doc/packaging-manuals/"
                                     "copyright-format/1.0/\n"):
        problems.append(f"the copyright file in {where} is not in Debian's machine-readable form")
    licence = LICENSE_FILE.read_text().splitlines()
    holder = next(line for line in licence if line.startswith("Copyright (c) "))
    terms = licence[licence.index(holder) + 1:]
    field = [line[1:] for line in copyright_text.split("\nLicense: Expat\n")[-1].splitlines()]
    if f"Copyright: {holder[len('Copyright (c) '):]}" not in copyright_text or "License: Expat" \
            not in copyright_text or [("" if line == "." else line) for line in field] != terms[1:]:
        problems.append(f"the copyright file in {where} does not give the licence of LICENSE")
    return problems


def package_problems(deb, folder, version):
    problems = []
    control_version = run(["dpkg-deb", "-f", str(deb), "Version"]).stdout.strip()
    if control_version != version:
        problems.append(f"the package's version is {control_version!r}, expected {version!r}")
    if deb.name != f"{PACKAGE}_{version}_{deb.name.split('_')[-1]}":
        problems.append(f"the package file is named {deb.name}")
    archives = glob.glob(str(folder / f"{PACKAGE}-{version}-*.tar.gz"))
    if len(archives) != 1:
        problems.append(f"expected one {PACKAGE}-{version}-*.tar.gz beside the .deb")
    else:
        with tarfile.open(archives[0]) as archive:
            names = archive.getnames()
            copyright_files = [name for name in names if name.endswith(COPYRIGHT)]
            if len(copyright_files) == 1:
                text = archive.extractfile(copyright_files[0]).read().decode()
                problems += licence_problems(text, "the .tar.gz")
            else:
                problems.append(f"the .tar.gz holds no {COPYRIGHT}")
        for program in ("bin/pattern-counters", "bin/pattern-counters-reg"):
            if not any(name.endswith(program) for name in names):
                problems.append(f"the .tar.gz holds no {program}")
    return problems


def unpacked_problems(root, version):
    problems = []
    usr = root / "usr"
    for path in ([usr / "share/man/man1" / page for page in PAGES] +
                 [usr / "share/doc" / PACKAGE / document for document in DOCUMENTS]):
        if not path.is_file():
            problems.append(f"the package holds no {path.relative_to(root)}")
    if (usr / COPYRIGHT).is_file():
        problems += licence_problems((usr / COPYRIGHT).read_text(), "the .deb")
    environment = dict(os.environ, PATTERN_COUNTERS_REGISTRY=str(root.parent / "registry.db"))
    for command, expected in RUNS:
        result = run([str(usr / command[0])] + command[1:], env=environment)
        if (result.returncode, result.stdout) != (0, expected):
            problems.append(f"{command[0]} {command[1]}: status {result.returncode}, "
                            f"output {result.stdout!r} {result.stderr!r}, expected {expected!r}")
    for page in PAGES:
        shown = run(["man", "--warnings", "-l", str(usr / "share/man/man1" / page)],
                    env=dict(os.environ, LC_ALL="C", MANWIDTH="80"))
        if shown.returncode != 0 or shown.stderr or f"{PACKAGE} {version}" not in shown.stdout:
            problems.append(f"man -l {page}: status {shown.returncode}, warnings "
                            f"{shown.stderr.strip()!r}, version {version} shown: "
                            f"{f'{PACKAGE} {version}' in shown.stdout}")
    return problems


def installation_problems(deb):
    problems = []
    # apt takes a package file given by a path, not by a bare name.
    simulated = run(["apt-get", "install", "--simulate", f"./{deb.name}"], cwd=deb.parent)
    if simulated.returncode != 0:
        problems.append(f"apt-get cannot install the package: {simulated.stdout[-2000:]} "
                        f"{simulated.stderr}")
    # Every tag, down to the pedantic and informational ones; a tag that is not ours to answer has
    # its override, with the reason, in the package.
    checked = run(["lintian", "--pedantic", "--display-info", str(deb)])
    print(checked.stdout, end="")
    if checked.returncode != 0 or checked.stdout:
        problems.append(f"lintian reports: {checked.stdout} {checked.stderr}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, type=pathlib.Path, help="the build folder")
    parser.add_argument("--version", required=True, help="the project's version")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        deb = pack(options.build.resolve(), folder / "packages")
        if deb is None:
            print("FAIL cpack made no single Debian package")
            return 1
        print(f"packed {deb.name}")
        root = folder / "unpacked"
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
        problems = (package_problems(deb, deb.parent, options.version) +
                    unpacked_problems(root, options.version) + installation_problems(deb))
    for problem in problems:
        print(f"FAIL {problem}")
    print("ok" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
