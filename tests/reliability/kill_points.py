#!/usr/bin/env python3
"""Kills each program at points spread over every write, flush, truncation, creation, rename and
unlink it makes in the store's folder, and checks the store after every kill.

The workloads: a tool run, `add`, `delete`, an `import` that grows the store by megabytes, a `restore` of a large backup and
a `backup`. A preloaded library counts the program's operations on the folder's files, and kills
it just before the one asked for. After every kill:
- the companion and the tool open the store without refusal;
- it passes SQLite's integrity check;
- it holds the old contents or a state that a first part of the new ones leaves (for the tool, its
  writes in order; for the companion, its one transaction);
- a backup, where there is one, is a whole store with the contents it was made of.

    kill_points.py --tool T --reg R --recorder librecord_file_operations.so [--points N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from case_runner import run_cases
from crash_states import planned_writes, states_after
from store_tools import (CLIENT_KEY, OTHER_KEY, Programs, bulk_file, integrity, soak, tree,
                         tree_path)

PATTERN_NAME = r"C:\defs\20030214.012"
PATTERN_NUMBER = 1350668


class Workload:
    def __init__(self, title, prepare, arguments, tool=False, new_key=None):
        self.title, self.prepare, self.arguments, self.tool = title, prepare, arguments, tool
        self.new_key = new_key  # a key that the companion creates before it writes a value in it


def workloads(options, folder):
    """The workloads, each with a function that fills a new store folder, and what to run."""
    programs = lambda path: Programs(options.tool, options.reg, path)
    counters = {"ParentBackRevCounter": 5, "BackRevCounter": 5, "ParentPattern": 0,
                "UsingPattern": 1350656}

    def small_store(path):
        for name, number in counters.items():
            programs(path).set_dword(CLIENT_KEY, name, number)
        programs(path).set_text(OTHER_KEY, "Kept", "left alone")
        programs(path).reg("add", OTHER_KEY + r"\Sub", "/v", "Gone", "/d", "x" * 5000, "/f")

    bulk = os.path.join(folder, "bulk.reg")
    bulk_file(bulk, 2000, 1500)
    backup = os.path.join(folder, "large-backup.db")
    big = os.path.join(folder, "big", "registry.db")
    os.makedirs(os.path.dirname(big))
    small_store(big)
    programs(big).reg("import", bulk)
    programs(big).set_dword(CLIENT_KEY, "BackRevCounter", 77)
    programs(big).reg("backup", backup)
    return [
        Workload("a tool run", small_store, [PATTERN_NAME], tool=True),
        Workload("add", small_store,
                 ["add", OTHER_KEY + r"\New", "/v", "V", "/d", "y" * 3000, "/f"],
                 new_key=OTHER_KEY + r"\New"),
        Workload("delete", small_store, ["delete", OTHER_KEY + r"\Sub", "/f"]),
        Workload("import of a large file", small_store, ["import", bulk]),
        Workload("restore of a large backup", small_store, ["restore", backup, "/f"]),
        Workload("backup", lambda path: shutil.copy(big, path),
                 ["backup", os.path.join("{folder}", "copy.db")]),
    ]


def run(options, workload, store_path, environment):
    program = options.tool if workload.tool else options.reg
    arguments = [argument.replace("{folder}", os.path.dirname(store_path))
                 for argument in workload.arguments]
    env = dict(os.environ, PATTERN_COUNTERS_REGISTRY=store_path, LD_PRELOAD=options.recorder,
               RECORD_FILE_OPERATIONS_FOLDER=os.path.dirname(store_path), **environment)
    return subprocess.run([program, *arguments], env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=300)


def acceptable_trees(workload, before, after):
    """The stores a kill may leave: the old one, the new one and each state between that the
    program's transactions pass through."""
    if workload.new_key:
        return [before, dict(before, **{tree_path(workload.new_key): {}}), after]
    if not workload.tool:
        return [before, after]
    client = tree_path(CLIENT_KEY)
    states = states_after(before[client], planned_writes(before[client], PATTERN_NUMBER))
    return [dict(before, **{client: state}) for state in states]


def check_after_kill(options, workload, store_path, trees, before):
    """What is wrong with the store a kill left; empty when nothing is."""
    problems = []
    programs = Programs(options.tool, options.reg, store_path)
    query = subprocess.run([options.reg, "query", CLIENT_KEY], env=programs.env,
                           capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
    if query.returncode != 0:
        problems.append(f"the companion was refused: {query.stdout + query.stderr!r}")
    checked = integrity(store_path)
    if checked != "ok":
        return problems + [f"integrity check: {checked}"]
    if tree(store_path) not in trees:
        problems.append("the store holds neither the old contents nor a first part of the new")
    copy = os.path.join(os.path.dirname(store_path), "copy.db")
    if os.path.exists(copy) and (integrity(copy) != "ok" or tree(copy) != before):
        problems.append("the backup is not a whole copy of the store")
    ran = programs.run_tool(PATTERN_NAME)
    if ran.returncode != 0 or b"Current Pattern= " not in ran.stdout:
        problems.append(f"the tool was refused: {ran.stdout!r}")
    return problems


def sweep(options, workload, folder):
    """Kills the workload at each of its points. Returns the failures."""
    template = os.path.join(folder, "template")
    os.makedirs(template)
    workload.prepare(os.path.join(template, "registry.db"))

    def fresh_store():
        scratch = os.path.join(folder, "scratch")
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(template, scratch)
        return os.path.join(scratch, "registry.db")

    # Reading a store leaves SQLite's log files beside it, so the runs start from fresh copies.
    before = tree(fresh_store())
    store_path = fresh_store()
    count_file = os.path.join(folder, "count")
    whole = run(options, workload, store_path, {"RECORD_FILE_OPERATIONS_COUNT": count_file})
    if whole.returncode != 0:
        return [f"the run without a kill failed: {whole.stdout + whole.stderr!r}"]
    after = tree(store_path)
    trees = acceptable_trees(workload, before, after)
    if after != trees[-1]:
        return ["the run without a kill left an unexpected store"]
    with open(count_file) as file:
        operations = int(file.read())
    wanted = operations if soak() else min(options.points, operations)
    points = sorted({1 + round(i * (operations - 1) / max(wanted - 1, 1)) for i in range(wanted)})
    failures = []
    for point in points:
        store_path = fresh_store()
        killed = run(options, workload, store_path, {"RECORD_FILE_OPERATIONS_KILL_AT": str(point)})
        if killed.returncode != -9:
            failures.append(f"point {point}: not killed ({killed.returncode})")
        for problem in check_after_kill(options, workload, store_path, trees, before):
            failures.append(f"killed before operation {point} of {operations}: {problem}")
        if len(failures) > 5:
            break
    shutil.rmtree(template)
    print(f"{workload.title}: killed before {len(points)} of its {operations} operations")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--points", type=int, default=200)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="pattern-counters-kill-points-") as folder:
        sweeps = [(workload.title, lambda workload=workload: sweep(options, workload, folder))
                  for workload in workloads(options, folder)]
        return run_cases(sweeps)


if __name__ == "__main__":
    sys.exit(main())
