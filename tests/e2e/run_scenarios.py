#!/usr/bin/env python3
"""Runs the end-to-end scenarios of scenarios.txt against built programs.

The scenarios are data; a backend says how to reach a registry: set it up and read it with a
reg-syntax command, and run the tool. Each scenario starts from an empty registry.

    run_scenarios.py --tool build/pattern-counters --reg build/pattern-counters-reg scenarios.txt
    run_scenarios.py --backend wine --tool build-windows/pattern-counters.exe scenarios.txt
    run_scenarios.py --backend wine --wow64 --tool build-windows/pattern-counters.exe \
        scenarios.txt ../windows/wow64_scenarios.txt    # in a 64-bit prefix (WINEPREFIX)
"""
import argparse
import os
import subprocess
import sys
import tempfile

from case_runner import run_cases, split_words
from store_tools import CLIENT_KEY

VIEWS = ("32", "64")


class Scenario:
    def __init__(self, title):
        self.title = title
        self.steps = []  # (kind, argument, line number)


def parse_scenarios(path):
    scenarios = []
    with open(path, encoding="utf-8") as lines:
        for number, raw in enumerate(lines, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            kind, _, argument = line.partition(":")
            argument = argument[1:] if argument.startswith(" ") else argument
            if kind == "scenario":
                scenarios.append(Scenario(argument))
            elif kind in ("reg", "run", "stdout", "stderr", "status", "value", "novalue", "nokey",
                          "view"):
                if not scenarios:
                    raise SystemExit(f"{path}:{number}: a step before the first scenario")
                scenarios[-1].steps.append((kind, argument.replace("%KEY%", CLIENT_KEY), number))
            else:
                raise SystemExit(f"{path}:{number}: unknown step {kind!r}")
    return scenarios


class LinuxBackend:
    """The native programs on a registry store file in a fresh temporary folder per scenario."""

    def __init__(self, tool, reg, exec_prefix):
        self.tool = tool
        self.reg_program = reg
        self.exec_prefix = exec_prefix
        self.folder = None

    def reset(self):
        if self.folder:
            self.folder.cleanup()
        self.folder = tempfile.TemporaryDirectory(prefix="pattern-counters-e2e-")
        self.env = dict(os.environ, PATTERN_COUNTERS_REGISTRY=os.path.join(self.folder.name, "registry.db"))

    def run(self, command):
        done = subprocess.run(self.exec_prefix + command, env=self.env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)
        return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")

    def reg(self, words):
        return self.run([self.reg_program] + words)

    def tool_run(self, words):
        return self.run([self.tool] + words)

    def set_view(self, view):
        raise SystemExit(f"the store has a single view: a view step ({view}) needs --backend wine")

    def view_failures(self):
        return []

    def close(self):
        if self.folder:
            self.folder.cleanup()


class WineBackend:
    """The Windows program under Wine, set up and read back with Wine's own reg.

    Runs in the Wine prefix named by WINEPREFIX, or else in one that it boots in a temporary folder
    and removes at the end. Each reg call names a view of the registry: the one the tool sees
    (--view), or the one a scenario's view step names, unless the call names its own. The programs
    run in a folder holding a file that "*.dat" would match, so that an argument expanded by the
    runtime shows in the pattern number.

    With wow64, the 32-bit tool runs in a 64-bit prefix, and every scenario also checks what
    64-bit Windows shows: no run changes anything under the 64-bit view's own
    HKLM\\SOFTWARE\\KESTRAN, and the 32-bit view's HKLM\\SOFTWARE\\KESTRAN is the 64-bit view's
    HKLM\\SOFTWARE\\WOW6432Node\\KESTRAN, value for value.
    """

    KESTRAN_KEY = r"HKLM\SOFTWARE\KESTRAN"
    REDIRECTED_KEY = r"HKLM\SOFTWARE\WOW6432Node\KESTRAN"
    WILDCARD_DECOY = "vd1a2b3c.dat"

    def __init__(self, tool, exec_prefix, view, wow64):
        self.tool = os.path.abspath(tool)  # the programs run in a folder of their own
        self.wine = exec_prefix or ["wine"]
        self.tool_view = self.view = view
        self.wow64 = wow64
        self.wow64_failures = []
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        self.own_prefix = None
        if not self.env.get("WINEPREFIX"):
            self.own_prefix = tempfile.TemporaryDirectory(prefix="pattern-counters-wine-")
            arch = "win64" if wow64 or view == "64" else "win32"
            self.env.update(WINEPREFIX=os.path.join(self.own_prefix.name, "prefix"), WINEARCH=arch,
                            TMPDIR=self.own_prefix.name)  # the server's files go with the prefix
            subprocess.run(self.wine + ["wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                           capture_output=True, check=True, timeout=300)
        self.folder = tempfile.TemporaryDirectory(prefix="pattern-counters-e2e-")
        open(os.path.join(self.folder.name, self.WILDCARD_DECOY), "w").close()

    def reset(self):
        self.view = self.tool_view
        for view in VIEWS if self.wow64 else (self.tool_view,):
            self.reg(["delete", self.KESTRAN_KEY, "/f", f"/reg:{view}"])  # none there: harmless
            status, out, _ = self.reg(["query", self.KESTRAN_KEY, f"/reg:{view}"])
            if status == 0:
                raise SystemExit(f"cannot empty the registry for the next scenario: {out}")

    def set_view(self, view):
        if view not in VIEWS:
            raise SystemExit(f"unknown view {view!r}: 32 or 64")
        self.view = view

    def run(self, command):
        done = subprocess.run(self.wine + command, env=self.env, cwd=self.folder.name,
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
        return done.returncode, windows_text(done.stdout), windows_text(done.stderr)

    def reg(self, words):
        named = any(word.lower().startswith("/reg:") for word in words)
        return self.run(["reg"] + words + ([] if named else [f"/reg:{self.view}"]))

    def tool_run(self, words):
        if not self.wow64:
            return self.run([self.tool] + words)
        before = self.listing(self.KESTRAN_KEY, "64")
        result = self.run([self.tool] + words)
        after = self.listing(self.KESTRAN_KEY, "64")
        if after != before:
            self.wow64_failures.append(f"the run changed the 64-bit view's {self.KESTRAN_KEY}: "
                                       f"{before!r} became {after!r}")
        return result

    def listing(self, key, view):
        """The key's values and subkeys, recursively, as reg query /s shows them; None if absent."""
        status, out, _ = self.reg(["query", key, "/s", f"/reg:{view}"])
        return out if status == 0 else None

    def view_failures(self):
        """What the scenario's registry shows against 64-bit Windows' views; empty when right."""
        if not self.wow64:
            return []
        failures, self.wow64_failures = self.wow64_failures, []
        seen_32 = self.listing(self.KESTRAN_KEY, "32")
        seen_64 = self.listing(self.REDIRECTED_KEY, "64")
        expected_64 = seen_32 and seen_32.replace(r"HKEY_LOCAL_MACHINE\SOFTWARE\KESTRAN",
                                                  r"HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\KESTRAN")
        if seen_64 != expected_64:
            failures.append(f"the 32-bit view's {self.KESTRAN_KEY} shows {seen_32!r}, but the "
                            f"64-bit view's {self.REDIRECTED_KEY} shows {seen_64!r}")
        return failures

    def close(self):
        self.folder.cleanup()
        if self.own_prefix:
            subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True)
            subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True)
            self.own_prefix.cleanup()


def windows_text(data):
    """Output written in Windows text mode, with its CR LF line ends read as plain newlines.

    A newline without its CR is marked rather than accepted, so that output not written in text
    mode fails the comparison.
    """
    lines = data.decode("latin-1").split("\r\n")
    return "\n".join(line.replace("\n", "<LF without CR>\n") for line in lines)


def query_value(backend, name):
    """Returns the value as (name, type, data) from reg query's layout, or None when absent."""
    status, out, _ = backend.reg(["query", CLIENT_KEY, "/v", name])
    if status != 0:
        return None
    for line in out.splitlines():
        if line.startswith("    "):
            parts = line[4:].split("    ", 2)
            return tuple(parts + [""] * (3 - len(parts)))
    return None


def run_scenario(backend, scenario):
    """Runs the steps in order. Returns the list of failures, empty when the scenario passed."""
    backend.reset()
    failures = []
    pending = None  # the last run's result and the expectations gathered for it

    def settle():
        nonlocal pending
        if pending is None:
            return
        (status, out, err), expected, line = pending
        want_out = "".join(text + "\n" for text in expected["stdout"])
        want_err = "".join(text + "\n" for text in expected["stderr"])
        for what, want, got in (("stdout", want_out, out), ("stderr", want_err, err),
                                ("status", expected["status"], status)):
            if want != got:
                failures.append(f"line {line}: {what}: expected {want!r}, got {got!r}")
        pending = None

    for kind, argument, line in scenario.steps:
        if kind in ("stdout", "stderr"):
            pending[1][kind].append(argument)
            continue
        if kind == "status":
            pending[1]["status"] = int(argument)
            continue
        settle()
        if kind == "view":
            backend.set_view(argument)
        elif kind == "reg":
            status, out, err = backend.reg(split_words(argument))
            if status != 0:
                failures.append(f"line {line}: setup failed ({status}): {out}{err}")
        elif kind == "run":
            pending = (backend.tool_run(split_words(argument)),
                       {"stdout": [], "stderr": [], "status": 0}, line)
        elif kind == "value":
            name, value_type, data = (argument.split(None, 2) + ["", ""])[:3]
            got = query_value(backend, name)
            if got is None or got[0].lower() != name.lower() or got[1:] != (value_type, data):
                failures.append(f"line {line}: expected {name} {value_type} {data!r}, got {got}")
        elif kind == "novalue":
            got = query_value(backend, argument)
            if got is not None:
                failures.append(f"line {line}: expected no value {argument}, got {got}")
        elif kind == "nokey":
            status, out, _ = backend.reg(["query", CLIENT_KEY])
            if status == 0:
                failures.append(f"line {line}: expected no client key, got {out!r}")
    settle()
    return failures + backend.view_failures()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("linux", "wine"), default="linux",
                        help="linux: the companion on a store file; wine: Wine's reg and registry")
    parser.add_argument("--tool", required=True, help="the pattern-counters program")
    parser.add_argument("--reg", help="the reg-syntax companion program (linux backend)")
    parser.add_argument("--exec-prefix", default="",
                        help="a command to run both programs under (wine backend: default wine)")
    parser.add_argument("--view", choices=VIEWS, default="32",
                        help="wine backend: the view of the registry the tool sees (default 32)")
    parser.add_argument("--wow64", action="store_true",
                        help="wine backend: the 32-bit tool in a 64-bit prefix; check both views")
    parser.add_argument("scenarios", nargs="+", help="the scenario files")
    options = parser.parse_args()

    if options.backend == "wine":
        backend = WineBackend(options.tool, split_words(options.exec_prefix), options.view,
                              options.wow64)
    elif options.reg:
        backend = LinuxBackend(options.tool, options.reg, split_words(options.exec_prefix))
    else:
        parser.error("the linux backend needs --reg")
    try:
        scenarios = [scenario for path in options.scenarios for scenario in parse_scenarios(path)]
        return run_cases((scenario.title, lambda scenario=scenario: run_scenario(backend, scenario))
                         for scenario in scenarios)
    finally:
        backend.close()


if __name__ == "__main__":
    sys.exit(main())
