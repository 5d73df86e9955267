#!/usr/bin/env python3
"""Checks the built manual pages: man renders each without a warning, mandoc's lint finds nothing
to report, no font macro glues words together, and each names every message its program can
print, as the sources spell it. The README of the Windows release, in its
source, must name every message of the Windows program too.

The messages are the sources' own string literals that hold a space (words, not names), but
those of SQL statements, so a message added or reworded in the code fails here until its page
follows. A message built from pieces is checked piece by piece; a printf conversion stands for
any word (the page writes N).

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
# The README shipped with the Windows program, and where that program's messages are written.
WINDOWS_README = "app/windows/README.txt.in"
WINDOWS_SOURCES = ["app/*.cpp", "app/windows/*.cpp", "counters/*.cpp", "pattern/*.cpp",
                   "platform/platform_windows.cpp"]
# SQL, as the sources write it: keywords in upper case. A literal is part of a statement for
# SQLite when it starts with one (after any opening parenthesis) or holds two, which no message
# does: the upper-case words of messages are names (ERROR, REG_SZ, PATTERN_COUNTERS_REGISTRY).
SQL_KEYWORDS = frozenset("""
    ABORT ACTION ADD AFTER ALL ALTER ALWAYS ANALYZE AND AS ASC ATTACH AUTOINCREMENT BEFORE BEGIN
    BETWEEN BLOB BY CASCADE CASE CAST CHECK COLLATE COLUMN COMMIT CONFLICT CONSTRAINT CREATE CROSS
    CURRENT_DATE CURRENT_TIME CURRENT_TIMESTAMP DATABASE DEFAULT DEFERRABLE DEFERRED DELETE DESC
    DETACH DISTINCT DO DROP EACH ELSE END ESCAPE EXCEPT EXCLUDE EXCLUSIVE EXISTS EXPLAIN FAIL FILTER
    FIRST FOLLOWING FOR FOREIGN FROM FULL GENERATED GLOB GROUP GROUPS HAVING IF IGNORE IMMEDIATE IN
    INDEX INDEXED INITIALLY INNER INSERT INSTEAD INTEGER INTERSECT INTO IS ISNULL JOIN KEY LAST LEFT
    LIKE LIMIT MATCH MATERIALIZED NATURAL NO NOCASE NOT NOTHING NOTNULL NULL NULLS NUMERIC OF OFFSET
    ON OR ORDER OTHERS OUTER OVER PARTITION PLAN PRAGMA PRECEDING PRIMARY QUERY RAISE RANGE REAL
    RECURSIVE REFERENCES REGEXP REINDEX RELEASE RENAME REPLACE RESTRICT RETURNING RIGHT ROLLBACK ROW
    ROWID ROWS SAVEPOINT SELECT SET TABLE TEMP TEMPORARY TEXT THEN TIES TO TRANSACTION TRIGGER
    UNBOUNDED UNION UNIQUE UPDATE USING VACUUM VALUES VIEW VIRTUAL WHEN WHERE WINDOW WITH WITHOUT
    """.split())
UPPER_CASE_WORD = re.compile(r"\b[A-Z][A-Z0-9_]*\b")
# The text that starts every SQLite file, which the store compares with a file's first bytes.
SQLITE_FILE_HEADER = re.compile(r"^SQLite format \d+$")
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "'": "'", "\\": "\\", "0": "\0"}
# The font macros that set their arguments one after another without a space, each in the other
# font, one of them roman: a word of the text as an argument of its own is glued to the one before
# it. (Bold and italic glued, a name and its placeholder, are meant to read as one word.)
ROMAN_ALTERNATING_MACROS = ("BR", "IR", "RB", "RI")
MACRO_ARGUMENT = re.compile(r'"((?:""|[^"])*)"?|(\S+)')
# roff escapes, as far as the glued-words check needs them: font changes vanish, a named
# character is not a letter, and an escaped space is a space.
ROFF_FONT = re.compile(r"\\f(?:[BIRP]|\(..|\[[^]]*\])")
ROFF_CHARACTER = re.compile(r"\\(?:\(..|\[[^]]*\]|.)")
# Lines of roff and whether the check must find words glued in them: the first is how the
# companion's page once rendered "VALUE TYPES;theunnamedvalueshowsas"; the others glue on purpose
# (a name and its placeholders, a key name built of its parts, a word and its punctuation).
GLUED_WORDS_CASES = [
    ('.BR "VALUE TYPES" ; the unnamed value shows as', True),
    (".BR done , then", True),
    (".BI AV n letters", False),
    (".BI VD hex", False),
    (".IB ROOT \\e SUBKEY\\fR,\\fP", False),
    (".BR pattern\\-counters\\-reg (1) ,", False),
    ('.BI "Value " NAME " exists"', False),
]


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


def is_sql(literal):
    words = UPPER_CASE_WORD.findall(literal)
    keywords = [word for word in words if word in SQL_KEYWORDS]
    first = UPPER_CASE_WORD.match(literal.lstrip(" \t\n("))
    return len(keywords) >= 2 or (first is not None and first.group() in SQL_KEYWORDS)


def messages(source, patterns):
    found = set()
    for pattern in patterns:
        for path in sorted(source.glob(pattern)):
            code = re.sub(r"\bstatic_assert\([^;]*\);", "", path.read_text())
            for literal in string_literals(code):
                if (" " in literal and not is_sql(literal)
                        and not SQLITE_FILE_HEADER.match(literal)):
                    found.add(literal)
    return sorted(found)


def pieces(message):
    """The lines of a message that hold a word, as patterns over whitespace-collapsed text."""
    for line in message.split("\n"):
        line = line.strip()
        if re.search(r"[A-Za-z]", line):
            words = [re.escape(word) for word in line.split()]
            yield line, r"\s+".join(words).replace("%d", r"\S+")


def missing_messages(name, text, document_messages):
    """The messages that the document NAME, whose TEXT has its white space collapsed, does not
    show."""
    print(f"{name}: {len(document_messages)} messages in the sources")
    return [f"{name} does not show the message {line!r}"
            for message in document_messages for line, pattern in pieces(message)
            if not re.search(pattern, text)]


def roff_text(argument):
    """What an argument of a macro shows, escapes reduced to their kind."""
    text = ROFF_FONT.sub("", argument)
    return ROFF_CHARACTER.sub(lambda escape: " " if escape.group() == "\\ " else "#", text)


def glued_words(line):
    """Whether a line of roff glues a word to the word or the comma before it with a font macro.
    A single letter is a placeholder or a letter set apart on purpose."""
    macro = line.split(maxsplit=1)
    if len(macro) < 2 or macro[0].lstrip(".") not in ROMAN_ALTERNATING_MACROS:
        return False
    parts = [roff_text(quoted if quoted or bare == "" else bare)
             for quoted, bare in MACRO_ARGUMENT.findall(macro[1])]
    letter = re.compile(r"[A-Za-z]")
    return any(re.search(r"[A-Za-z,;]$", before) and letter.match(after)
               and not (letter.fullmatch(before) or letter.fullmatch(after))
               for before, after in zip(parts, parts[1:]))


def lint_problems(name, page, source):
    """What mandoc's lint reports of the built page, and the lines of its source that glue words."""
    problems = []
    linted = subprocess.run(["mandoc", "-Tlint", str(page)], capture_output=True, text=True)
    if linted.returncode != 0 or linted.stdout or linted.stderr:
        problems.append(f"{name}: mandoc -Tlint reports: {(linted.stdout + linted.stderr).strip()}")
    for number, line in enumerate(source.read_text().splitlines(), 1):
        if glued_words(line):
            problems.append(f"{source.name}:{number}: the font macro glues words together: {line}")
    return problems


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

    problems = [f"the glued-words check is {'blind to' if glued else 'wrong about'} {line!r}"
                for line, glued in GLUED_WORDS_CASES if glued_words(line) != glued]
    for name, patterns in PAGE_SOURCES.items():
        page = options.pages / name
        problems += lint_problems(name, page, options.source / "man" / f"{name}.in")
        rendered = render(page, 80)
        if rendered.returncode != 0 or rendered.stderr:
            problems.append(f"{name}: man --warnings reports: {rendered.stderr.strip()}")
        text = " ".join(rendered.stdout.split())
        problems += missing_messages(name, text, messages(options.source, patterns))
    readme = " ".join((options.source / WINDOWS_README).read_text().split())
    problems += missing_messages(WINDOWS_README, readme,
                                 messages(options.source, WINDOWS_SOURCES))
    for problem in problems:
        print(f"FAIL {problem}")
    print("ok" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
