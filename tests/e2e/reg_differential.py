#!/usr/bin/env python3
"""Runs the command lines of reg_differential.txt through the companion and through Wine's own reg.

Wine's reg is an independent implementation of the command the companion follows, so it serves as
the reference. Each line runs through both: the companion on a store in a temporary folder, Wine's
reg in one throwaway 64-bit prefix booted for the whole table. For every line the exit status,
standard output (line ends normalised) and afterwards the whole test key HKCU\\RegDiff (every
subkey, value name, type and data) must agree.

Known departures of Wine from Windows are set aside here, not hidden: Wine writes its messages in
its own wording, prefixed with "reg: " and on standard output, where Windows writes errors to
standard error; its successful-operation and search-count lines are read as Windows writes them
and its other messages are dropped from the comparison. Any other difference must be marked on
its line with one of MARKS, each either a Wine departure or a deliberate choice of the companion.

    reg_differential.py --reg build/pattern-counters-reg reg_differential.txt

Exits 77 (skipped) with a notice when Wine's 64-bit loader is missing, except in CI (CI=true),
where that is a failure.
"""
import argparse
import collections
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile

from case_runner import run_cases, split_words

SKIPPED = 77
LOADER = "/usr/lib/wine/wine64"
PREFIX_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows",
                             "wine_prefix.sh")
TEST_KEYS = (r"HKCU\RegDiff", r"HKLM\SOFTWARE\RegDiff")
COMPARED_KEY = ("HKEY_CURRENT_USER", "RegDiff")
ROOT_IDS = {"HKEY_CLASSES_ROOT": 1, "HKEY_CURRENT_USER": 2, "HKEY_LOCAL_MACHINE": 3,
            "HKEY_USERS": 4, "HKEY_CURRENT_CONFIG": 5}
TEXT_TYPES = (1, 2, 7)  # kept as UTF-16 by Windows, as the program's own narrow text by the store

# What a line may be marked with: who departs from Windows, why, and what is then not compared.
MARKS = {
    "no-console": ("Wine departure", "Wine asks again and again when it has no console to read "
                   "an answer from: the line runs through the companion only", {"wine"}),
    "qword-null": ("Wine departure", "Wine shows REG_QWORD data as (null): the data shown is not "
                   "compared (the stored key still is)", {"qword"}),
    "usage": ("deliberate choice", "the help text describes the companion and its store", {"stdout"}),
    "root-delete": ("deliberate choice", "deleting a whole root is refused, where Wine deletes "
                    "everything below it: the line runs through the companion only", {"wine"}),
    "doubled-backslash": ("deliberate choice", "a key name with an empty name in it (a doubled "
                          "backslash) is refused, where Wine reads it as one backslash: the line "
                          "runs through the companion only", {"wine"}),
    "silent": ("Wine departure", "Wine prints nothing after a successful export or import, where "
               "Windows prints that the operation completed successfully", {"stdout"}),
    "lone-surrogate": ("deliberate choice", "a registry file whose UTF-16 text holds a lone "
                       "surrogate, which the store's UTF-8 text cannot hold, is refused with the "
                       "number of its line, where Wine stores it: the line runs through the "
                       "companion only", {"wine"}),
    "whole-import": ("deliberate choice", "a malformed registry file is refused with the number "
                     "of its line and nothing is imported, where Wine skips the line and imports "
                     "the rest: the line runs through the companion only", {"wine"}),
    "no-copy": ("deliberate choice", "copy is not one of the companion's operations: the companion "
                "refuses it", {"status", "stdout"}),
}

# Wine's wording of the two messages Windows writes on standard output, read as Windows words them.
WINE_MESSAGES = [
    (re.compile(r"^reg: The operation completed successfully$"),
     "The operation completed successfully."),
    (re.compile(r"^Search complete\. Number of matches found: (\d+)$"),
     r"End of search: \1 match(es) found."),
]


class Case:
    def __init__(self, line, marks, words):
        self.line = line
        self.marks = marks
        self.words = words
        self.skips = set().union(*(MARKS[mark][2] for mark in marks))


def parse_table(path):
    """Returns the groups: (title, cases). Each group starts from no test keys at all."""
    groups = []
    with open(path, encoding="utf-8") as lines:
        for number, raw in enumerate(lines, 1):
            text = raw.strip()
            if not text or text.startswith("#"):
                continue
            if text.startswith("=="):
                groups.append((text[2:].strip(), []))
                continue
            words = split_words(text)
            marks = []
            while words and words[0].startswith("@"):
                marks.append(words.pop(0)[1:])
            unknown = [mark for mark in marks if mark not in MARKS]
            if unknown or not groups:
                raise SystemExit(f"{path}:{number}: unknown mark {unknown} or no group yet")
            groups[-1][1].append(Case(number, marks, words))
    return groups


def normalise_wine_output(text):
    lines = []
    for line in text.split("\n"):
        for pattern, windows in WINE_MESSAGES:
            if pattern.match(line):
                line = pattern.sub(windows, line)
                break
        else:
            if line.startswith("reg: "):
                continue  # an error: Windows writes it to standard error, in its own words
        lines.append(line)
    return "\n".join(lines)


def mask_qword_data(text):
    return re.sub(r"(    REG_QWORD    ).*", r"\1...", text)


def unescape_reg_string(text):
    """Undoes the escapes of a quoted text, \\n and \\r standing for line breaks."""
    breaks = {"n": "\n", "r": "\r"}
    return re.sub(r"\\(.)", lambda match: breaks.get(match.group(1), match.group(1)), text)


def read_reg_file(path):
    """A registry file as {key: {value name: (type, canonical bytes)}}, where text types hold the
    text as UTF-8, as the store keeps it."""
    with open(path, "rb") as file:
        data = file.read()
    text = data[2:].decode("utf-16-le") if data.startswith(b"\xff\xfe") else data.decode("latin-1")
    text = re.sub(r"\\\r?\n\s*", "", text.replace("\r\n", "\n"))
    keys = {}
    current = None
    for line in text.split("\n")[1:]:
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        match = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not match or current is None:
            continue
        name = "" if match.group(1) == "@" else unescape_reg_string(match.group(2))
        value = match.group(3)
        if value.startswith('"'):
            current[name] = (1, unescape_reg_string(value[1:-1]).encode("utf-8") + b"\0")
        elif value.startswith("dword:"):
            current[name] = (4, int(value[6:], 16).to_bytes(4, "little"))
        else:
            hex_match = re.match(r"^hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", value)
            kind = int(hex_match.group(1) or "3", 16)
            raw = bytes(int(pair, 16) for pair in hex_match.group(2).split(",") if pair.strip())
            if kind in TEXT_TYPES:
                raw = raw.decode("utf-16-le", "surrogatepass").encode("utf-8", "surrogatepass")
            current[name] = (kind, raw)
    return keys


def read_store(path):
    """The compared key in the store file, in the form of read_reg_file; None when absent."""
    if not os.path.exists(path):
        return None
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        row = db.execute("SELECT id, name FROM keys WHERE parent = ? AND name = ?",
                         (ROOT_IDS[COMPARED_KEY[0]], COMPARED_KEY[1])).fetchone()
        if row is None:
            return None
        keys = {}
        pending = [(row[0], f"{COMPARED_KEY[0]}\\{row[1]}")]
        while pending:
            key_id, name = pending.pop()
            keys[name] = {value: (kind, bytes(data)) for value, kind, data in db.execute(
                "SELECT name, type, data FROM vals WHERE key = ?", (key_id,))}
            pending += [(child, f"{name}\\{child_name}") for child, child_name in db.execute(
                "SELECT id, name FROM keys WHERE parent = ?", (key_id,))]
        return keys
    finally:
        db.close()


class Wine:
    """Wine's reg in one fresh 64-bit prefix, booted for the whole table."""

    def __init__(self, folder):
        self.folder = folder
        self.env = dict(os.environ, WINEPREFIX=os.path.join(folder, "prefix"),
                        TMPDIR=os.path.join(folder, "tmp"), WINEARCH="win64", WINEDEBUG="-all")
        subprocess.run(["bash", PREFIX_SCRIPT, "boot", folder, LOADER], env=self.env, check=True,
                       stdin=subprocess.DEVNULL, timeout=300)

    def reg(self, words):
        """Runs Wine's reg. A Wine process now and then fails to start: it exits with status 1
        and prints nothing, where reg prints an error whenever it fails; such a run is made
        again."""
        for attempt in range(1, 5):
            done = subprocess.run([LOADER, "reg"] + words, env=self.env, capture_output=True,
                                  stdin=subprocess.DEVNULL, timeout=60)
            if done.returncode == 0 or done.stdout:
                break
            print(f"note: Wine's reg printed nothing and exited with {done.returncode} "
                  f"(attempt {attempt}): {words} {done.stderr[-500:]!r}")
        return done.returncode, done.stdout.decode("latin-1").replace("\r\n", "\n")

    def reset(self):
        """Deletes the test keys. A Wine process now and then fails to start; the deletion is
        checked, and made again, so that a group never starts from what the last one left."""
        for key in TEST_KEYS:
            for attempt in range(1, 6):
                deleted = self.reg(["delete", key, "/f"])
                if self.reg(["query", key])[0] != 0:
                    break
                print(f"note: reg delete {key} left the key (attempt {attempt}): {deleted}")
            else:
                raise SystemExit(f"Wine's reg cannot delete {key} to start a group")

    def state(self, file):
        # The file goes first, so that an export that writes nothing cannot pass off the last
        # state read as this one.
        if os.path.exists(file):
            os.unlink(file)
        status, _ = self.reg(["export", "\\".join(COMPARED_KEY), windows_path(file), "/y"])
        return read_reg_file(file) if status == 0 and os.path.exists(file) else None

    def close(self):
        subprocess.run(["bash", PREFIX_SCRIPT, "remove", self.folder, LOADER], env=self.env)


class Companion:
    def __init__(self, program, folder):
        self.program = program
        self.folder = folder
        self.store = None

    def reset(self, group_number):
        self.store = os.path.join(self.folder, f"registry-{group_number}.db")

    def reg(self, words):
        env = dict(os.environ, PATTERN_COUNTERS_REGISTRY=self.store)
        done = subprocess.run([self.program] + words, env=env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=60)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def state(self):
        return read_store(self.store)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def with_files(words, folders, for_wine):
    """Puts folders in place of the %NAME% words of FOLDERS in file names written with
    backslashes, as the program (Wine's reg or the companion) names files."""
    named = []
    for word in words:
        for name, (wine_folder, companion_folder) in folders.items():
            if f"%{name}%" in word:
                word = (word.replace(f"%{name}%", windows_path(wine_folder)) if for_wine else
                        word.replace(f"%{name}%", companion_folder).replace("\\", "/"))
        named.append(word)
    return named


def only_reads(case):
    """Whether the line is a query or a help request. The key is compared after such a line only
    at the end of its group: any change it made would show at the next comparison, and reading the
    key back from Wine costs a run of reg."""
    return not case.words or case.words[0].lower() == "query" or case.words[0][:1] in "/-"


def compare(case, wine_result, companion_result, states):
    failures = []
    (wine_status, wine_out), (our_status, our_out) = wine_result, companion_result
    wine_out = normalise_wine_output(wine_out)
    if "qword" in case.skips:
        wine_out, our_out = mask_qword_data(wine_out), mask_qword_data(our_out)
    if "status" not in case.skips and wine_status != our_status:
        failures.append(f"status: reg {wine_status}, companion {our_status}")
    if "stdout" not in case.skips and wine_out != our_out:
        failures.append(f"stdout:\n       reg       {wine_out!r}\n       companion {our_out!r}")
    wine_state, companion_state = states or (None, None)
    if wine_state != companion_state:
        failures.append(f"key afterwards:\n       reg       {wine_state!r}\n"
                        f"       companion {companion_state!r}")
    return failures


def check_group(wine, companion, folders, state_file, number, group):
    """Runs a group's lines through both programs, from no test keys. Returns the differences."""
    wine.reset()
    companion.reset(number)
    failures = []
    for position, case in enumerate(group, 1):
        ours = companion.reg(with_files(case.words, folders, False))
        if "wine" in case.skips:
            continue
        theirs = wine.reg(with_files(case.words, folders, True))
        states = None
        if not only_reads(case) or position == len(group):
            states = (wine.state(state_file), companion.state())
        differences = compare(case, theirs, ours, states)
        if differences:
            failures.append(f"line {case.line}: reg {' '.join(case.words)}")
            failures += [f"  {difference}" for difference in differences]
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reg", required=True, help="the reg-syntax companion program")
    parser.add_argument("table", help="the table of command lines")
    options = parser.parse_args()
    groups = parse_table(options.table)

    if not os.access(LOADER, os.X_OK) or not shutil.which("wineserver"):
        reason = (f"Wine's 64-bit loader {LOADER} or wineserver is missing "
                  "(scripts/install-dependencies.sh windows)")
        if os.environ.get("CI") == "true":
            print(f"FAILED: the differential run against Wine's reg cannot run: {reason}")
            return 1
        print(f"SKIPPED: the differential run against Wine's reg: {reason}")
        return SKIPPED

    marked = collections.Counter(mark for _, group in groups for case in group
                                 for mark in case.marks)
    print(f"{sum(len(group) for _, group in groups)} command lines in {len(groups)} groups")
    for mark, count in sorted(marked.items()):
        kind, reason, _ = MARKS[mark]
        print(f"  {count} marked {mark} ({kind}): {reason}")
    with tempfile.TemporaryDirectory(prefix="pattern-counters-regdiff-") as folder:
        # FILES: each program's own folder for registry files; OTHER_FILES: the other one's;
        # SOURCE: the table's folder, with the registry files it imports.
        own = {"wine": os.path.join(folder, "wine-files"),
               "companion": os.path.join(folder, "companion-files")}
        for path in own.values():
            os.mkdir(path)
        source = os.path.dirname(os.path.abspath(options.table))
        folders = {"FILES": (own["wine"], own["companion"]),
                   "OTHER_FILES": (own["companion"], own["wine"]),
                   "SOURCE": (source, source)}
        state_file = os.path.join(folder, "state.reg")
        wine = Wine(os.path.join(folder, "wine"))
        companion = Companion(os.path.abspath(options.reg), folder)
        try:
            return run_cases([(title, lambda number=number, group=group: check_group(
                wine, companion, folders, state_file, number, group))
                for number, (title, group) in enumerate(groups)])
        finally:
            wine.close()


if __name__ == "__main__":
    sys.exit(main())
