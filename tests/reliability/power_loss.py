#!/usr/bin/env python3
"""Simulated power loss: builds what the disk could hold after a crash at any moment of a run, and
checks the store in each of those states.

Each workload runs once with record_file_operations preloaded, which logs every write, flush,
truncation, rename, link and unlink it makes in the store's folder. From the log, a crash state
after any number of operations is rebuilt from the folder as it was before the run:

- a file's bytes as of its last flush are on disk; of its later writes and truncations, any subset
  may be, and each write may be torn at 512-byte sectors;
- names created, renamed, linked or unlinked since the folder's last flush may be lost, the later
  ones first; a file written without a name (O_TMPFILE) is on disk only under a name linked to it;
- the shared-memory index (-shm) is left out: it is rebuilt by the first program that opens the
  store.

In every crash state the companion opens the store and then the tool runs on it; the store must
pass SQLite's integrity check and hold what it held before the run or after some first part of
the run's writes, in order (the states that cleanly stopped prefixes of the same log leave), with
nothing else changed. After the last operation, that is once the program has exited, it must
hold everything the run wrote. A new store appears whole or not at all.

    power_loss.py --tool build/pattern-counters --reg build/pattern-counters-reg \\
        --recorder build/tests/librecord_file_operations.so [--seed N] [--states N]
"""
import argparse
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

from store_tools import CLIENT_KEY, OTHER_KEY, Programs, bulk_file, contents, integrity, soak

SECTOR = 512
STORE = "registry.db"


def parse_log(path, folder):
    """The recorded operations, in order, as tuples whose names are relative to the folder."""
    operations = []
    with open(path, "rb") as log:
        while line := log.readline():
            kind, *words = line.decode().split()
            names = [os.path.relpath(word, folder) for word in words if word.startswith("/")]
            numbers = [int(word) for word in words if not word.startswith("/")]
            if kind == "write":
                operations.append((kind, names[0], numbers[0], log.read(numbers[1])))
            elif kind == "truncate":
                operations.append((kind, names[0], numbers[0]))
            else:
                operations.append((kind, *names))
    return operations


class File:
    """A file's bytes as flushed, and the changes made to it since."""

    def __init__(self, content=b""):
        self.flushed = bytearray(content)
        self.pending = []

    def content(self, keep=lambda change: [change]):
        data = bytearray(self.flushed)
        for change in self.pending:
            for piece in keep(change):
                apply(data, piece)
        return bytes(data)


def apply(data, change):
    if change[0] == "truncate":
        del data[change[1]:]
        data.extend(bytes(change[1] - len(data)))
    else:
        _, offset, payload = change
        data.extend(bytes(max(0, offset + len(payload) - len(data))))
        data[offset:offset + len(payload)] = payload


def sectors(change):
    """A write cut at the disk's sector boundaries."""
    _, offset, payload = change
    pieces = []
    start = offset
    while start < offset + len(payload):
        end = min(offset + len(payload), (start // SECTOR + 1) * SECTOR)
        pieces.append(("write", start, payload[start - offset:end - offset]))
        start = end
    return pieces


class Disk:
    """The folder after some operations: what is flushed, and what is still pending."""

    def __init__(self, files):
        self.names = {name: File(content) for name, content in files.items()}
        self.flushed_names = dict(self.names)
        self.pending_names = []  # the folder's states since its last flush, oldest first
        self.unnamed = {}  # files without a name in the folder, by what the log calls them

    def file(self, name):
        return self.names[name] if name in self.names else self.unnamed[name]

    def do(self, operation):
        kind, name = operation[0], operation[1]
        if kind == "unnamed":
            self.unnamed[name] = File()
        elif kind in ("create", "rename", "link", "unlink"):
            names = dict(self.names)
            if kind == "create":
                names[name] = File()
            elif kind == "rename":
                names[operation[2]] = names.pop(name)
            elif kind == "link":
                names[operation[2]] = self.file(name)
            else:
                del names[name]
            self.names = names
            self.pending_names.append(names)
        elif kind == "syncdir":
            self.flushed_names, self.pending_names = self.names, []
        elif kind == "sync":
            file = self.file(name)
            file.flushed, file.pending = bytearray(file.content()), []
        else:
            self.file(name).pending.append(operation[0:1] + operation[2:])

    def clean(self):
        """The folder as a program that stopped here leaves it."""
        return {name: file.content() for name, file in self.names.items()}

    def crashed(self, rng):
        """One folder that a power loss here could leave."""
        kept = rng.randint(0, len(self.pending_names))
        names = self.pending_names[kept - 1] if kept else self.flushed_names

        def keep(change):
            if rng.random() < 0.5:
                return []
            if change[0] == "write" and rng.random() < 0.3:
                return [piece for piece in sectors(change) if rng.random() < 0.5]
            return [change]

        contents_of = {id(file): file.content(keep) for file in set(names.values())}
        return {name: contents_of[id(file)] for name, file in names.items()}


def disk_after(start, operations, count):
    disk = Disk(start)
    for operation in operations[:count]:
        disk.do(operation)
    return disk


def lay_out(folder, files):
    shutil.rmtree(folder, ignore_errors=True)
    os.mkdir(folder)
    for name, data in files.items():
        if not name.endswith("-shm"):
            with open(os.path.join(folder, name), "wb") as file:
                file.write(data)


def read_folder(folder):
    files = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as file:
            files[name] = file.read()
    return files


def run(program, arguments, folder, extra_env=None):
    env = dict(os.environ, PATTERN_COUNTERS_REGISTRY=os.path.join(folder, STORE), **(extra_env or {}))
    return subprocess.run([program, *arguments], env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)


def stored(folder):
    """The store's rows, or None when there is no store."""
    path = os.path.join(folder, STORE)
    if not os.path.exists(path):
        return None
    return repr(sorted(contents(path).items()))


def opened(folder, reg):
    """Opens the store as a user would, with the companion, which recovers what a crash left
    behind. Returns what went wrong (None when nothing did) and the store's rows."""
    if not os.path.exists(os.path.join(folder, STORE)):
        return None, None
    done = run(reg, ["query", "HKLM"], folder)
    if done.returncode != 0:
        return f"the companion cannot open the store: {done.stderr!r}", None
    try:
        verdict = integrity(os.path.join(folder, STORE))
        rows = stored(folder)
    except sqlite3.DatabaseError as error:
        return f"the store is damaged: {error}", None
    return (None, rows) if verdict == "ok" else (f"integrity check: {verdict}", None)


class Workload:
    def __init__(self, title, setup, program, arguments):
        self.title, self.setup, self.program, self.arguments = title, setup, program, arguments


def workloads(tool, reg):
    def client_store(folder):
        for name, number in (("UsingPattern", 1350656), ("BackRevCounter", 5),
                             ("ParentBackRevCounter", 5), ("ParentPattern", 1350656)):
            run(reg, ["add", CLIENT_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(number), "/f"],
                folder).check_returncode()
        for index in range(40):
            run(reg, ["add", f"{OTHER_KEY}\\{index}", "/v", "Data", "/d", "x" * 300, "/f"],
                folder).check_returncode()

    def log_kept_by_a_reader(folder):
        """A client store whose log holds an earlier run, all copied into the file: a reader that
        stays open keeps the log from being removed, so the run starts it over. The reader is a
        process of its own, since reading the folder here would drop this process's locks."""
        client_store(folder)
        reader = subprocess.Popen(
            [sys.executable, "-c", "import sqlite3, sys; store = sqlite3.connect(sys.argv[1]); "
             "store.execute('SELECT count(*) FROM vals').fetchall(); print(flush=True); "
             "sys.stdin.read()", os.path.join(folder, STORE)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        reader.stdout.readline()
        run(tool, ["C:\\defs\\20030213.011"], folder).check_returncode()
        return reader

    def beside(folder, name):
        """A file of the workload's own, outside the store's folder, which every state keeps."""
        return os.path.join(os.path.dirname(folder), name)

    def client_store_and_bulk_file(folder):
        client_store(folder)
        bulk_file(beside(folder, "bulk.reg"), 400, 1000)

    def client_store_and_larger_backup(folder):
        """A client store, and a backup of it that holds 400 more keys of 1000 bytes."""
        client_store(folder)
        copy = os.path.join(folder, "copy.db")
        run(reg, ["backup", copy], folder).check_returncode()
        bulk_file(beside(folder, "bulk.reg"), 400, 1000)
        copy_programs = Programs(tool, reg, copy)
        copy_programs.reg("import", beside(folder, "bulk.reg"))
        copy_programs.reg("backup", beside(folder, "larger-backup.db"))
        os.unlink(copy)

    return [
        Workload("a tool run on an existing store", client_store, tool, ["C:\\defs\\20030214.012"]),
        Workload("a tool run that starts an earlier run's log over", log_kept_by_a_reader, tool,
                 ["C:\\defs\\20030214.012"]),
        Workload("the companion creating a new store", lambda folder: None, reg,
                 ["add", CLIENT_KEY, "/v", "UsingPattern", "/t", "REG_DWORD", "/d", "7", "/f"]),
        Workload("the companion deleting a key", client_store, reg, ["delete", OTHER_KEY, "/f"]),
        Workload("an import that grows the store file", client_store_and_bulk_file, reg,
                 ["import", "{scratch}/bulk.reg"]),
        Workload("a restore that grows the store file", client_store_and_larger_backup, reg,
                 ["restore", "{scratch}/larger-backup.db", "/f"]),
    ]


def record(workload, recorder, scratch):
    """Runs the workload once under the recorder: the folder before it, its operations, and the
    rows it leaves."""
    folder = os.path.join(scratch, "recorded")
    os.mkdir(folder)
    reader = workload.setup(folder)
    start = read_folder(folder)
    log = os.path.join(scratch, "operations.log")
    arguments = [argument.replace("{scratch}", scratch) for argument in workload.arguments]
    done = run(workload.program, arguments, folder,
               {"LD_PRELOAD": recorder, "RECORD_FILE_OPERATIONS_FOLDER": folder,
                "RECORD_FILE_OPERATIONS_LOG": log})
    if reader:
        reader.communicate()
    if done.returncode != 0:
        raise SystemExit(f"{workload.title}: the recorded run failed: {done.stderr!r}")
    operations = parse_log(log, folder)
    final = stored(folder)
    shutil.rmtree(folder)
    os.unlink(log)
    return start, operations, final


def check_state(files, allowed, final, programs, folder, at_end):
    """What is wrong with the store in one crash state: None when nothing is."""
    tool, reg = programs
    lay_out(folder, files)
    problem, rows = opened(folder, reg)
    if problem:
        return problem
    if at_end and rows != final:
        return "after the program exited, the store does not hold everything it wrote"
    if rows not in allowed:
        return "the store holds a state that no first part of the run's writes leaves"
    if rows is None:
        return None
    has_client_key = run(reg, ["query", CLIENT_KEY], folder).returncode == 0
    ran = run(tool, ["LPT$QMN.9"], folder)
    refused = b"Cannot open" in ran.stdout or b"Cannot set" in ran.stdout
    if ran.returncode != 0 or (has_client_key and refused):
        return f"the tool could not work on the store: {ran.stdout!r} {ran.stderr!r}"
    return None


def simulate(workload, tool, reg, recorder, rng, states, scratch):
    """Checks `states` crash states of the workload. Returns the number that failed."""
    start, operations, final = record(workload, recorder, scratch)
    folder = os.path.join(scratch, "state")
    allowed = set()
    disk = Disk(start)
    for count in range(len(operations) + 1):
        if count:
            disk.do(operations[count - 1])
        lay_out(folder, disk.clean())
        problem, rows = opened(folder, reg)
        if problem:
            raise SystemExit(f"{workload.title}: stopped after operation {count}: {problem}")
        allowed.add(rows)
    flushes = sum(1 for operation in operations if operation[0] in ("sync", "syncdir"))
    print(f"{workload.title}: {len(operations)} operations, {flushes} flushes, "
          f"{len(allowed)} states a clean stop can leave")
    failures = 0
    for index in range(states):
        at_end = index % 10 == 0  # one state in ten: a power loss after the program has exited
        count = len(operations) if at_end else rng.randint(0, len(operations))
        files = disk_after(start, operations, count).crashed(rng)
        problem = check_state(files, allowed, final, (tool, reg), folder, at_end)
        if problem:
            failures += 1
            if failures <= 5:
                print(f"FAIL {workload.title}, power lost after operation {count} of "
                      f"{len(operations)} ({operations[count - 1][:2] if count else 'none'}): "
                      f"{problem}")
    print(f"{workload.title}: {states - failures} passed, {failures} failed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    parser.add_argument("--recorder", required=True, help="the preloaded recording library")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--states", type=int, default=25000 if soak() else 800,
                        help="crash states per workload")
    options = parser.parse_args()
    print(f"seed {options.seed}, {options.states} crash states per workload")
    rng = random.Random(options.seed)
    tool, reg, recorder = (os.path.abspath(path) for path in
                           (options.tool, options.reg, options.recorder))
    failed = 0
    all_workloads = workloads(tool, reg)
    scratch_root = "/dev/shm" if os.path.isdir("/dev/shm") else None  # flushes cost nothing there
    for workload in all_workloads:
        with tempfile.TemporaryDirectory(prefix="pattern-counters-power-", dir=scratch_root) as scratch:
            failed += simulate(workload, tool, reg, recorder, rng, options.states, scratch)
    total = len(all_workloads) * options.states
    print(f"{total - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
