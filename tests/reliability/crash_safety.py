#!/usr/bin/env python3
"""Kills the tool with SIGKILL at random moments while it works on a store, over many runs.

After every run the store must pass SQLite's integrity check, hold nothing changed outside the
client key's counters, and hold the counters as they were before the run with some first part of
the run's writes applied, in the tool's order (seeds, then ParentPattern, then BackRevCounter).
A run that was not killed must have made all of them. Between runs counters are sometimes
deleted or replaced by text, so that kills also land on the seeding writes.

What the kill-point sweep (kill_points.py) cannot reach, these kills do: the sweep stops a program
only just before a file operation that its preloaded recorder counts, from one fresh store, on a
build it can preload. Here a kill lands at any moment of the shipped program, sanitized builds
included: between the stores to the memory-mapped index of the log, which no file operation
shows, and during the recovery of what the last killed run left, since every run starts on the
store as the kill before it left it, whose counters may need seeding.

    crash_safety.py --tool build/pattern-counters --reg build/pattern-counters-reg [--runs N]
"""
import argparse
import collections
import os
import random
import signal
import statistics
import sys
import tempfile
import time

from crash_states import COUNTERS, planned_writes, states_after
from store_tools import (CLIENT_KEY, NUMBERED_NAMES, OTHER_KEY, Programs, contents, integrity,
                         key_id, open_read_only, soak)


def split_contents(store_path):
    """The store's rows apart from the client key's counters, and the client key's values."""
    everything = contents(store_path)
    with open_read_only(store_path) as db:
        key = key_id(db)
    values = {}
    rest = []
    for row in everything["vals"]:
        if row[0] == key:
            values[row[1].lower()] = (row[2], bytes(row[3]))
        if not (row[0] == key and row[1].lower() in COUNTERS):
            rest.append(row)
    everything["vals"] = rest
    return everything, values


def disturb(programs, rng, values):
    """Sometimes removes a counter or makes one unreadable, so that the next run seeds it."""
    choice = rng.random()
    name = rng.choice(["ParentBackRevCounter", "BackRevCounter", "ParentPattern"])
    if choice < 0.15 and name.lower() in values:
        programs.reg("delete", CLIENT_KEY, "/v", name, "/f")
    elif choice < 0.25:
        programs.set_text(CLIENT_KEY, name, "not a number")


def typical_run_seconds(programs):
    durations = []
    for _ in range(10):
        started = time.monotonic()
        programs.run_tool("AV12AB.ZIP")
        durations.append(time.monotonic() - started)
    return statistics.median(durations)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    parser.add_argument("--runs", type=int, default=20000 if soak() else 1000)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    options = parser.parse_args()
    rng = random.Random(options.seed)
    print(f"seed {options.seed}, {options.runs} runs")

    with tempfile.TemporaryDirectory(prefix="pattern-counters-crash-") as folder:
        store_path = os.path.join(folder, "registry.db")
        programs = Programs(options.tool, options.reg, store_path)
        programs.set_dword(CLIENT_KEY, "UsingPattern", 1350656)
        programs.set_text(CLIENT_KEY, "ClientName", "left alone")
        programs.reg("add", OTHER_KEY, "/v", "Blob", "/t", "REG_BINARY", "/d", "ab" * 3000, "/f")
        window = typical_run_seconds(programs) * 1.2

        failures = []
        killed = 0
        writes_made = collections.Counter()
        for run in range(options.runs):
            disturb(programs, rng, split_contents(store_path)[1])
            name, number = rng.choice(NUMBERED_NAMES)
            before_rest, before_values = split_contents(store_path)
            writes = planned_writes(before_values, number)

            process = programs.start_tool(name)
            time.sleep(rng.uniform(0, window))
            process.send_signal(signal.SIGKILL)
            process.communicate()
            was_killed = process.returncode == -signal.SIGKILL
            killed += was_killed

            checked = integrity(store_path)
            if checked != "ok":
                failures.append(f"run {run}: integrity check: {checked}")
                break
            after_rest, after_values = split_contents(store_path)
            if after_rest != before_rest:
                failures.append(f"run {run}: rows outside the counters changed")
            states = states_after(before_values, writes)
            if after_values not in states:
                failures.append(f"run {run} ({name}): counters {after_values} are no state "
                                f"the writes {writes} pass through from {before_values}")
            elif not was_killed and after_values != states[-1]:
                failures.append(f"run {run}: exit {process.returncode} before all writes")
            else:
                writes_made[(states.index(after_values), len(writes))] += 1
            if len(failures) > 5:
                break

        final = programs.run_tool("AV12AB.ZIP")
        if final.returncode != 0 or b"Current Pattern= 1350656\n" not in final.stdout:
            failures.append(f"a run after the kills failed: {final.stdout!r} {final.stderr!r}")

    print(f"{options.runs} runs, {killed} killed before they ended, kill window {window * 1000:.1f} ms")
    for (made, planned), count in sorted(writes_made.items()):
        print(f"  {count:5} runs made {made} of {planned} writes")
    for failure in failures:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
