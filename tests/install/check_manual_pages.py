#!/usr/bin/env python3
"""Checks the built manual pages: man renders each without a warning, and each names every
message its program can print, as the sources spell it.

The messages are the sources' own string literals that hold a space (words, not names), so a
message added or reworded in the code fails here until its page follows. A message built from
pieces is checked piece by piece; a printf conversion stands for any word (the page writes N).

    check_manual_pages.py --source . --pages build/man
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys

# Where each program's messages are written, relative to the source folder.
PAGE_SOURCES = {
    "pattern-counters.1": ["app/*.cpp", "counters/*.cpp", "pattern/*.cpp",
                           "platform/platform_*.cpp"],
    "pattern-counters-reg.1": ["reg/*.cpp", "store/*.cpp"],
}
# Literals with spaces that are never printed: statements for SQLite and its file header (and
# static_assert texts, which are dropped before the literals are read).
NOT_MESSAGES = re.compile(r"^(SELECT|INSERT|UPDATE|DELETE FROM|ON CONFLICT|PRAGMA|BEGIN|COMMIT"
                          r"|ROLLBACK|CREATE|SQLite format)\b")
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "'": "'", "\\": "\\", "0": "\0"}


def string_literals(code):
    """The ordinary string literals of C++ code, escapes decoded; comments, character literals
    and raw strings are skipped."""
    literals = []
    i = 0
    while i < len(code):
        if code.startswith("//", i):
            i = code.find("\n", i)
            i = len(code) if i < 0 else i
        elif code.startswith("/*", i):
            i = code.index("*/", i) + 2
        elif code.startswith('R"', i) and not (code[i - 1:i].isalnum() or code[i - 1:i] == "_"):
            delimiter = code[i + 2:code.index("(", i)]
            i = code.index(")" + delimiter + '"', i) + len(delimiter) + 2
        elif code[i] in "\"'":
            quote, text, i = code[i], [], i + 1
            while code[i] != quote:
                if code[i] == "\\":
                    text.append(ESCAPES.get(code[i + 1], code[i + 1]))
                    i += 2
                else:
                    text.append(code[i])
                    i += 1
            i += 1
            if quote == '"':
                literals.append("".join(text))
        else:
            i += 1
    return literals


def messages(source, patterns):
    found = set()
    for pattern in patterns:
        for path in sorted(source.glob(pattern)):
            code = re.sub(r"\bstatic_assert\([^;]*\);", "", path.read_text())
            for literal in string_literals(code):
                if " " in literal and not NOT_MESSAGES.match(literal):
                    found.add(literal)
    return sorted(found)


def pieces(message):
    """The lines of a message that hold a word, as patterns over whitespace-collapsed text."""
    for line in message.split("\n"):
        line = line.strip()
        if re.search(r"[A-Za-z]", line):
            words = [re.escape(word) for word in line.split()]
            yield line, r"\s+".join(words).replace("%d", r"\S+")


def render(page, width):
    environment = dict(os.environ, LC_ALL="C", MANWIDTH=str(width))
    return subprocess.run(["man", "--warnings", "-l", str(page)], env=environment,
                          capture_output=True, text=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True, type=pathlib.Path, help="the source folder")
    parser.add_argument("--pages", required=True, type=pathlib.Path,
                        help="the folder of the built manual pages")
    options = parser.parse_args()

    problems = []
    for name, patterns in PAGE_SOURCES.items():
        page = options.pages / name
        rendered = render(page, 80)
        if rendered.returncode != 0 or rendered.stderr:
            problems.append(f"{name}: man --warnings reports: {rendered.stderr.strip()}")
        text = " ".join(rendered.stdout.split())
        page_messages = messages(options.source, patterns)
        print(f"{name}: {len(page_messages)} messages in the sources")
        for message in page_messages:
            for line, pattern in pieces(message):
                if not re.search(pattern, text):
                    problems.append(f"{name} does not show the message {line!r}")
    for problem in problems:
        print(f"FAIL {problem}")
    print("ok" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
