"""The one case runner of the Python suites: runs the cases of a table and reports each.

A case is a title and a check: a function that returns its failures (empty when the case passed),
or raises Skip when what it needs cannot be arranged here. Each case prints "ok   TITLE",
"FAIL TITLE" with its failures below it, or "SKIP TITLE: why"; the run ends with the line
"N passed, N failed, N skipped", and its exit status is 0 only when some case passed and none
failed.
"""
import shlex


class Skip(Exception):
    """Raised by a check that cannot be arranged here; its text says why."""


def run_cases(cases):
    """Runs the (title, check) pairs in order and reports them. Returns the exit status."""
    passed = failed = skipped = 0
    for title, check in cases:
        try:
            failures = check()
        except Skip as reason:
            skipped += 1
            print(f"SKIP {title}: {reason}", flush=True)
            continue
        if failures:
            failed += 1
            print(f"FAIL {title}")
            for failure in failures:
                print(f"     {failure}")
        else:
            passed += 1
            print(f"ok   {title}", flush=True)
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed or not passed else 0


def split_words(text):
    """A case's command line split as a shell splits it: quotes group words, backslashes stay
    literal."""
    lexer = shlex.shlex(text, posix=True)
    lexer.whitespace_split = True
    lexer.escape = ""
    return list(lexer)
