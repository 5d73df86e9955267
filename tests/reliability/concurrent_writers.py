#!/usr/bin/env python3
"""Many runs of the tool in parallel while a client keeps rewriting values through the companion,
a neighbour grows the store file by megabytes (imports of large files, and restores of a large
backup) and a reader searches the tree those change.

What must hold, whatever the timing:
- every run of the tool reads all four values and writes both of its own (waiting for the store's
  lock, or for a neighbour's checkpoint, is never a failure), and reports a UsingPattern the
  client actually wrote; only a run that held its key across a restore, which replaced the key,
  has its writes refused;
- every companion write succeeds, and the last one to each value is what is stored, unless a
  restore that replaced it had not ended when the write began;
- every search of the readers succeeds and finds the tree as one moment held it: each import's
  keys all there or none, the backup's all there; as root, a second reader is a user who may only
  read the store (nobody), whom SQLite may refuse for a moment while a writer closes the store;
- the store passes SQLite's integrity check, and the counters hold what some run wrote.
The tool reads and then writes without a lock, so runs may overwrite each other's counters: the
test does not ask for every step of BackRevCounter to be kept.

    concurrent_writers.py --tool build/pattern-counters --reg build/pattern-counters-reg
"""
import argparse
import os
import random
import re
import shutil
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from store_tools import (CLIENT_KEY, NUMBERED_NAMES, OTHER_KEY, REG_DWORD, REG_SZ, Programs,
                         bulk_file, key_values, dword, integrity, soak, stepped)

REPORT = re.compile(rb"ParentBackRevCount= (-?\d+)\nBackRevCount= (-?\d+)\n"
                    rb"Parent Pattern= (-?\d+)\nCurrent Pattern= (-?\d+)\n"
                    rb"(Parent and Local Pattern versions are different\.\n)?"
                    rb"(BackRev counts are already different\.\n)?(Cannot set \w+\.\n)?\Z")
FIRST_USING_PATTERN = 1350656


def unsigned(printed):
    return int(printed) % 2**32


class Client:
    """Plays the client: rewrites UsingPattern and values of its own until told to stop."""

    def __init__(self, programs, rng):
        self.programs = programs
        self.rng = rng
        self.last = {}  # (key, lower-case name) -> ((type, bytes), start) of the last write
        self.using_patterns = {FIRST_USING_PATTERN}
        self.writes = 0
        self.failures = []
        self.stop = threading.Event()

    def write_once(self):
        self.writes += 1
        started = time.monotonic()
        choice = self.rng.random()
        try:
            if choice < 0.5:
                number = FIRST_USING_PATTERN + self.writes
                self.using_patterns.add(number)
                self.programs.set_dword(CLIENT_KEY, "UsingPattern", number)
                self.last[(CLIENT_KEY, "usingpattern")] = ((REG_DWORD, dword(number)), started)
            else:
                key = CLIENT_KEY if choice < 0.75 else OTHER_KEY
                name = f"ClientValue{self.rng.randrange(4)}"
                text = f"write {self.writes}"
                self.programs.set_text(key, name, text)
                self.last[(key, name.lower())] = ((REG_SZ, text.encode() + b"\0"), started)
        except AssertionError as error:
            self.failures.append(str(error))

    def run(self):
        while not self.stop.is_set():
            self.write_once()


class Neighbour:
    """Grows the store file until told to stop, in turns: a restore of a large backup, then
    imports of large files of new keys."""

    def __init__(self, programs, folder):
        self.programs = programs
        self.folder = folder
        self.restores = []  # (start, end) of each
        self.grown = 0
        self.failures = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            if self.grown % 3 == 0:
                started = time.monotonic()
                self.step("restore", os.path.join(self.folder, "large-backup.db"), "/f")
                self.restores.append((started, time.monotonic()))
            else:
                bulk = os.path.join(self.folder, "bulk.reg")
                bulk_file(bulk, 1000, 1500, rf"HKLM\SOFTWARE\Bulk\Round{self.grown}")
                self.step("import", bulk)
            self.grown += 1

    def step(self, *arguments):
        try:
            self.programs.reg(*arguments)
        except AssertionError as error:
            self.failures.append(str(error))

    def overlapped(self, started, ended):
        return any(start < ended and started < end for start, end in self.restores)

    def last_ended(self):
        return max((end for _, end in self.restores), default=0)


class Reader:
    """Searches the tree that the neighbour's imports and restores change until told to stop, and
    checks that each search read it at one moment: every key of each import or of the backup, or
    none of an import."""

    FOUND_KEY = re.compile(r"^HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\(\w+)\\K\d+$", re.M)

    def __init__(self, programs):
        self.programs = programs
        self.searches = 0
        self.failures = []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.searches += 1
            try:
                found = self.programs.reg("query", r"HKLM\SOFTWARE\Bulk", "/s", "/v", "N")
            except AssertionError as error:
                self.failures.append(f"search: {error}")
                continue
            counts = {}
            for tree in self.FOUND_KEY.findall(found.decode()):
                counts[tree] = counts.get(tree, 0) + 1
            expected = {tree: 3000 if tree == "Backup" else 1000 for tree in counts}
            if counts.get("Backup") != 3000 or counts != expected:
                self.failures.append(f"search found a tree no moment held: {counts}")


def large_backup(programs, folder):
    """A backup of the store as it is, with megabytes of keys added to the copy."""
    copy = os.path.join(folder, "copy.db")
    programs.reg("backup", copy)
    bulk = os.path.join(folder, "bulk.reg")
    bulk_file(bulk, 3000, 1500, r"HKLM\SOFTWARE\Bulk\Backup")
    copy_programs = Programs(programs.tool, programs.reg_program, copy)
    copy_programs.reg("import", bulk)
    copy_programs.reg("backup", os.path.join(folder, "large-backup.db"))


def read_only(programs, folder):
    """As root, the companion run by nobody, who may read the store and its folder only; else
    nothing. The store's log files take the store's permissions."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        print("no read-only reader: it needs root and setpriv")
        return []
    reg = os.path.join(folder, "pattern-counters-reg")
    shutil.copy(programs.reg_program, reg)
    os.chmod(reg, 0o755)
    os.chmod(folder, 0o755)
    os.chmod(programs.env["PATTERN_COUNTERS_REGISTRY"], 0o644)
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    return [Programs(programs.tool, reg, programs.env["PATTERN_COUNTERS_REGISTRY"], nobody)]


def run_tool(programs, name):
    started = time.monotonic()
    done = programs.run_tool(name)
    return name, done.returncode, done.stdout, done.stderr, started, time.monotonic()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    parser.add_argument("--runs", type=int, default=50000 if soak() else 2000)
    parser.add_argument("--parallel", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    options = parser.parse_args()
    rng = random.Random(options.seed)
    print(f"seed {options.seed}, {options.runs} runs, {options.parallel} at a time")

    with tempfile.TemporaryDirectory(prefix="pattern-counters-concurrent-") as folder:
        store_path = os.path.join(folder, "registry.db")
        programs = Programs(options.tool, options.reg, store_path)
        for name in ("ParentBackRevCounter", "BackRevCounter"):
            programs.set_dword(CLIENT_KEY, name, 5000)
        programs.set_dword(CLIENT_KEY, "ParentPattern", 0)
        programs.set_dword(CLIENT_KEY, "UsingPattern", FIRST_USING_PATTERN)
        programs.set_text(OTHER_KEY, "Untouched", "left alone")
        large_backup(programs, folder)
        programs.reg("restore", os.path.join(folder, "large-backup.db"), "/f")  # the reader's tree

        client = Client(programs, random.Random(rng.random()))
        neighbour = Neighbour(programs, folder)
        readers = [Reader(programs)] + [Reader(as_nobody) for as_nobody in read_only(programs, folder)]
        workers = [client, neighbour] + readers
        threads = [threading.Thread(target=worker.run) for worker in workers]
        for thread in threads:
            thread.start()
        try:
            with ThreadPoolExecutor(options.parallel) as pool:
                names = [rng.choice(NUMBERED_NAMES)[0] for _ in range(options.runs)]
                results = list(pool.map(lambda name: run_tool(programs, name), names))
        finally:
            for worker in workers:
                worker.stop.set()
            for thread in threads:
                thread.join()

        failures = client.failures + neighbour.failures
        failures += [failure for reader in readers for failure in reader.failures[:5]]
        stepped_counters = {5000}  # as the backup holds it
        refused = 0
        for name, status, out, err, started, ended in results:
            report = REPORT.match(out)
            if status != 0 or err or not report:
                failures.append(f"run {name!r}: status {status}, stdout {out!r}, stderr {err!r}")
                continue
            if report.group(7):
                refused += 1
                if not neighbour.overlapped(started, ended):
                    failures.append(f"run {name!r} had a write refused: {out!r}")
            if unsigned(report.group(4)) not in client.using_patterns:
                failures.append(f"run {name!r} read a UsingPattern never written: {out!r}")
            if unsigned(report.group(1)) != 5000:
                failures.append(f"run {name!r} read a changed ParentBackRevCounter: {out!r}")
            stepped_counters.add(stepped(unsigned(report.group(2))))

        checked = integrity(store_path)
        if checked != "ok":
            failures.append(f"integrity check: {checked}")
        values = key_values(store_path)
        stored_values = {CLIENT_KEY: values, OTHER_KEY: key_values(store_path, OTHER_KEY)}
        for (key, name), (written, started) in client.last.items():
            stored = stored_values[key].get(name)
            if stored != written and started > neighbour.last_ended():
                failures.append(f"client write lost: {key}\\{name} holds {stored}, wrote {written}")
        if values["parentbackrevcounter"] != (REG_DWORD, dword(5000)):
            failures.append(f"ParentBackRevCounter changed: {values['parentbackrevcounter']}")
        written_patterns = {(REG_DWORD, dword(number)) for _, number in NUMBERED_NAMES}
        if values["parentpattern"] not in written_patterns | {(REG_DWORD, dword(0))}:
            failures.append(f"ParentPattern holds what no run wrote: {values['parentpattern']}")
        if values["backrevcounter"] not in {(REG_DWORD, dword(n)) for n in stepped_counters}:
            failures.append(f"BackRevCounter holds what no run wrote: {values['backrevcounter']}")

    lowest = min(stepped_counters, default=None)
    print(f"{len(results)} runs of the tool, {client.writes} client writes, "
          f"{neighbour.grown} imports and restores and "
          f"{' and '.join(str(reader.searches) for reader in readers)} searches beside them "
          f"({refused} runs held their key across a restore and had a write refused); "
          f"BackRevCounter went from 5000 to {int.from_bytes(values['backrevcounter'][1], 'little')}"
          f" (lowest written {lowest}; the rest were steps lost to the unlocked read-then-write)")
    for failure in failures[:20]:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
