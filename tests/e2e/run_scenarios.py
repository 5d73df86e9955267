#!/usr/bin/env python3
"""Runs the end-to-end scenarios of scenarios.txt against built programs.

The scenarios are data; a backend says how to reach a registry: set it up and read it with a
reg-syntax command, and run the tool. Each scenario starts from an empty registry.

    run_scenarios.py --tool build/pattern-counters --reg build/pattern-counters-reg scenarios.txt
    run_scenarios.py --backend wine --tool build-windows/pattern-counters.exe scenarios.txt
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile

CLIENT_KEY = r"HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\CurrentVersion"


class Scenario:
    def __init__(self, title, line):
        self.title = title
        self.line = line
        self.steps = []  # (kind, argument, line number)


def split_words(text):
    """Splits like a shell: quotes group words, backslashes stay literal."""
    lexer = shlex.shlex(text, posix=True)
    lexer.whitespace_split = True
    lexer.escape = ""
    return list(lexer)


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
                scenarios.append(Scenario(argument, number))
            elif kind in ("reg", "run", "stdout", "stderr", "status", "value", "novalue", "nokey"):
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

    def close(self):
        if self.folder:
            self.folder.cleanup()


class WineBackend:
    """The Windows program under Wine, set up and read back with Wine's own reg.

    Runs in the Wine prefix named by WINEPREFIX, or else in a 32-bit one that it boots in a
    temporary folder and removes at the end. Each reg call names the 32-bit view of the registry,
    the one the 32-bit tool sees. The programs run in a folder holding a file that "*.dat" would
    match, so that an argument expanded by the runtime shows in the pattern number.
    """

    KESTRAN_KEY = r"HKLM\SOFTWARE\KESTRAN"
    WILDCARD_DECOY = "vd1a2b3c.dat"

    def __init__(self, tool, exec_prefix):
        self.tool = os.path.abspath(tool)  # the programs run in a folder of their own
        self.wine = exec_prefix or ["wine"]
        self.env = dict(os.environ)
        self.env.setdefault("WINEDEBUG", "-all")
        self.own_prefix = None
        if not self.env.get("WINEPREFIX"):
            self.own_prefix = tempfile.TemporaryDirectory(prefix="pattern-counters-wine-")
            self.env.update(WINEPREFIX=os.path.join(self.own_prefix.name, "prefix"), WINEARCH="win32",
                            TMPDIR=self.own_prefix.name)  # the server's files go with the prefix
            subprocess.run(self.wine + ["wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                           capture_output=True, check=True, timeout=300)
        self.folder = tempfile.TemporaryDirectory(prefix="pattern-counters-e2e-")
        open(os.path.join(self.folder.name, self.WILDCARD_DECOY), "w").close()

    def reset(self):
        self.reg(["delete", self.KESTRAN_KEY, "/f"])  # fails harmlessly when there is none
        status, out, _ = self.reg(["query", self.KESTRAN_KEY])
        if status == 0:
            raise SystemExit(f"cannot empty the registry for the next scenario: {out}")

    def run(self, command):
        done = subprocess.run(self.wine + command, env=self.env, cwd=self.folder.name,
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
        return done.returncode, windows_text(done.stdout), windows_text(done.stderr)

    def reg(self, words):
        return self.run(["reg"] + words + ["/reg:32"])

    def tool_run(self, words):
        return self.run([self.tool] + words)

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
        if kind == "reg":
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
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--backend", choices=("linux", "wine"), default="linux",
                        help="linux: the companion on a store file; wine: Wine's reg and registry")
    parser.add_argument("--tool", required=True, help="the pattern-counters program")
    parser.add_argument("--reg", help="the reg-syntax companion program (linux backend)")
    parser.add_argument("--exec-prefix", default="",
                        help="a command to run both programs under (wine backend: default wine)")
    parser.add_argument("scenarios", help="the scenario file")
    options = parser.parse_args()

    if options.backend == "wine":
        backend = WineBackend(options.tool, split_words(options.exec_prefix))
    elif options.reg:
        backend = LinuxBackend(options.tool, options.reg, split_words(options.exec_prefix))
    else:
        parser.error("the linux backend needs --reg")
    passed = failed = 0
    try:
        for scenario in parse_scenarios(options.scenarios):
            failures = run_scenario(backend, scenario)
            if failures:
                failed += 1
                print(f"FAIL {scenario.title} (line {scenario.line})")
                for failure in failures:
                    print(f"     {failure}")
            else:
                passed += 1
                print(f"ok   {scenario.title}")
    finally:
        backend.close()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
