"""The store tools of the Python suites: the programs, a store to work on, and its contents.

The store is read straight from its SQLite file, read-only, so that a test sees exactly what is
stored, whatever the programs print.
"""
import contextlib
import os
import sqlite3
import struct
import subprocess

CLIENT_KEY = r"HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\CurrentVersion"
OTHER_KEY = r"HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\Settings"
REG_SZ = 1
REG_DWORD = 4

# Pattern file names and the numbers they give, for runs whose outcome a test predicts.
NUMBERED_NAMES = [
    (r"C:\defs\20030214.012", 1350668),
    ("AV12AB.ZIP", 12582941),
    ("QM12ABCD.X", 12604138),
    ("vd1a2b3c.dat", 1715004),
    ("LPT$QMN.123", 123),
    ("19971231.001", 4294917633),
    ("20031399.999", 1558503),
    ("noext", 0),
]


def soak():
    """Whether the long runs were asked for."""
    return os.environ.get("PATTERN_COUNTERS_SOAK") == "1"


def dword(number):
    return struct.pack("<I", number % 2**32)


def stepped(counter):
    return 9999 if counter == 0 else counter - 1


class Programs:
    """The tool and the companion, run on one store file."""

    def __init__(self, tool, reg, store_path, as_user=()):
        self.tool = tool
        self.reg_program = reg
        self.as_user = list(as_user)  # a command that runs the companion as another user
        self.env = dict(os.environ, PATTERN_COUNTERS_REGISTRY=store_path)

    def run_tool(self, *arguments):
        return subprocess.run([self.tool, *arguments], env=self.env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)

    def start_tool(self, *arguments):
        return subprocess.Popen([self.tool, *arguments], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def reg(self, *arguments):
        """Runs a companion command, which must succeed. Returns its standard output."""
        done = subprocess.run([*self.as_user, self.reg_program, *arguments], env=self.env,
                              capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)
        if done.returncode != 0:
            raise AssertionError(f"reg {arguments} failed ({done.returncode}): {done.stderr!r}")
        return done.stdout

    def set_dword(self, key, name, number):
        self.reg("add", key, "/v", name, "/t", "REG_DWORD", "/d", str(number), "/f")

    def set_text(self, key, name, text):
        self.reg("add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f")


def open_read_only(store_path):
    """A read-only connection, to be closed before the programs run again: while this process
    holds the store open, a new connection would skip the log recovery that a killed writer can
    leave to do, and would read as if its last commit had not been made."""
    return contextlib.closing(sqlite3.connect(f"file:{store_path}?mode=ro", uri=True, timeout=30))


def integrity(store_path):
    """SQLite's own check of the whole file: 'ok' when intact."""
    with open_read_only(store_path) as db:
        return "\n".join(row[0] for row in db.execute("PRAGMA integrity_check"))


def contents(store_path):
    """Every row of every table, so that any change anywhere shows."""
    with open_read_only(store_path) as db:
        tables = [row[0] for row in db.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        return {table: sorted(db.execute(f'SELECT * FROM "{table}"').fetchall(), key=repr)
                for table in tables}


def key_id(db, key=CLIENT_KEY):
    """The row id of a key below HKLM, found by walking its path down from the root."""
    found = 3
    for name in key.split("\\")[1:]:
        found = db.execute("SELECT id FROM keys WHERE parent = ? AND name = ?",
                           (found, name)).fetchall()[0][0]
    return found


def key_values(store_path, key=CLIENT_KEY):
    """A key's values: lower-case name -> (type, bytes)."""
    with open_read_only(store_path) as db:
        return {name.lower(): (value_type, bytes(data)) for name, value_type, data in
                db.execute("SELECT name, type, data FROM vals WHERE key = ?", (key_id(db, key),))}


def bulk_file(path, keys, value_size, below=r"HKLM\SOFTWARE\Bulk"):
    """A registry file of `keys` keys below the key `below`, each with a text value V and its
    number N."""
    with open(path, "w", encoding="utf-8", newline="\r\n") as file:
        file.write("Windows Registry Editor Version 5.00\n")
        for index in range(keys):
            file.write(f'\n[{below.replace("HKLM", "HKEY_LOCAL_MACHINE", 1)}\\K{index}]\n'
                       f'"V"="{index:08}{"v" * value_size}"\n"N"=dword:{index:08x}\n')


def tree(store_path):
    """Every key by its path, with its values: lower-case path -> {lower-case name: (type,
    bytes)}. Key ids are left out, so that a store whose keys got other ids compares equal."""
    with open_read_only(store_path) as db:
        keys = {key: (parent, name) for key, parent, name in
                db.execute("SELECT id, parent, name FROM keys")}
        paths = {}

        def path_of(key):
            if key not in paths:
                parent, name = keys[key]
                paths[key] = name.lower() if parent is None else path_of(parent) + "\\" + name.lower()
            return paths[key]
        found = {path_of(key): {} for key in keys}
        for key, name, value_type, data in db.execute("SELECT key, name, type, data FROM vals"):
            found[path_of(key)][name.lower()] = (value_type, bytes(data))
        return found


def tree_path(key):
    """The path `tree` gives a key below HKLM."""
    return key.replace("HKLM", "HKEY_LOCAL_MACHINE", 1).lower()


# A store as development builds of an earlier layout wrote it, with key ids that may be given
# again: the programs refuse it.
LAYOUT_1_SCHEMA = """
PRAGMA journal_mode = WAL; PRAGMA application_id = 1346589255; PRAGMA user_version = 1;
CREATE TABLE keys (id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, UNIQUE (parent, name));
CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,
  PRIMARY KEY (key, name)) WITHOUT ROWID;
INSERT INTO keys VALUES (1, NULL, 'HKEY_CLASSES_ROOT'), (2, NULL, 'HKEY_CURRENT_USER'),
  (3, NULL, 'HKEY_LOCAL_MACHINE'), (4, NULL, 'HKEY_USERS'), (5, NULL, 'HKEY_CURRENT_CONFIG');
"""


def layout_1_store(path, values):
    """A store of the earlier layout whose client key holds `values` (name -> number)."""
    with sqlite3.connect(path, isolation_level=None) as db:
        db.executescript(LAYOUT_1_SCHEMA)
        parent = 3
        for name in CLIENT_KEY.split("\\")[1:]:
            parent = db.execute("INSERT INTO keys (parent, name) VALUES (?, ?)",
                                (parent, name)).lastrowid
        for name, number in values.items():
            db.execute("INSERT INTO vals VALUES (?, ?, ?, ?)", (parent, name, REG_DWORD,
                                                                dword(number)))
    db.close()
