#!/usr/bin/env python3
"""Runs pattern-counters on stores it must refuse, and on stores it must find.

Every refused store gives "Cannot open CurrentVersion key." and status 0, and is left byte for
byte as it was; the companion refuses such stores with status 1 and an error that says what is
wrong with them. Refused access needs a user whom permissions refuse: as root, the tool runs as
nobody (setpriv), or in a private mount namespace with a read-only mount (unshare); a case that
cannot be arranged is reported as skipped.

    store_failures.py --tool build/pattern-counters --reg build/pattern-counters-reg
"""
import argparse
import hashlib
import os
import pwd
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile

from case_runner import Skip, run_cases
from store_tools import CLIENT_KEY, Programs, layout_1_store

CANNOT_OPEN = "Cannot open CurrentVersion key.\n"
REPORT = ("ParentBackRevCount= 5\nBackRevCount= 5\nParent Pattern= 1350668\n"
          "Current Pattern= 1350668\n")
IS_ROOT = os.geteuid() == 0


def companion(options, path, *arguments):
    """Runs the companion on the store at `path`; it must succeed."""
    Programs(options.tool, options.reg, path).reg(*arguments)


def make_store(options, path):
    """A store holding the client key with equal counters, made with the companion."""
    for name, data in (("ParentBackRevCounter", "5"), ("BackRevCounter", "5"),
                       ("ParentPattern", "1350668"), ("UsingPattern", "1350668")):
        companion(options, path, "add", CLIENT_KEY, "/v", name, "/t", "REG_DWORD", "/d", data,
                  "/f")


def as_nobody(command, folder):
    """Runs the command as nobody when we are root; as ourselves otherwise."""
    if not IS_ROOT:
        return command
    if not shutil.which("setpriv"):
        raise Skip("setpriv is not available to drop root's privileges")
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command


def after_a_readers_query(options):
    """Runs the command as the store's owner (daemon), after a query by nobody, who may only read
    the store: what the reader leaves beside the store must not stand in the owner's way."""
    def wrap(command, folder):
        if not IS_ROOT or not shutil.which("setpriv"):
            raise Skip("needs root and setpriv to act as two other users")
        reg = os.path.join(folder, "pattern-counters-reg")
        shutil.copy(options.reg, reg)
        os.chmod(reg, 0o755)
        store_path = os.path.join(folder, "registry.db")
        owner = pwd.getpwnam("daemon")
        os.chown(store_path, owner.pw_uid, owner.pw_gid)
        script = ('setpriv --reuid=nobody --regid=nogroup --clear-groups "$0" query "$1" '
                  '>/dev/null || { echo "the reader could not query" >&2; exit 3; }; '
                  'shift; exec setpriv --reuid=daemon --regid=daemon --clear-groups "$@"')
        return ["sh", "-c", script, reg, CLIENT_KEY] + command
    return wrap


def require_mount_namespace():
    if not shutil.which("unshare"):
        raise Skip("unshare is not available")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        raise Skip("no private mount namespace: " + probe.stderr.decode().strip())


def on_read_only_mount(command, folder):
    """Runs the command where the folder is mounted read-only, in a private mount namespace."""
    require_mount_namespace()
    script = 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0" && exec "$@"'
    return ["unshare", "-m", "sh", "-c", script, folder] + command


# Moves the store's folder onto a file system just big enough for the store and $0 bytes more,
# runs the command there and reports on standard error when the store file changed.
FULL_DISK_SCRIPT = r"""
store=$PATTERN_COUNTERS_REGISTRY disk=${PATTERN_COUNTERS_REGISTRY%/*} room=$0
cp "$store" "$disk.copy" &&
  mount -t tmpfs -o size=$(($(stat -c %s "$store") + room)) tmpfs "$disk" &&
  cp "$disk.copy" "$store" || exit 99
"$@"
status=$?
cmp -s "$disk.copy" "$store" || echo "the store file changed" >&2
exit $status
"""

# SQLite's index of the write-ahead log: what a store needs beside itself before it can be read.
LOG_INDEX_BYTES = 32768


def on_full_disk(room):
    """Runs the command with the store on a file system with only `room` bytes left."""
    def wrap(command, folder):
        require_mount_namespace()
        return ["unshare", "-m", "sh", "-c", FULL_DISK_SCRIPT, str(room)] + command
    return wrap


# Mounts a file system of $1 bytes on the folder $0, runs the command there with the store in it,
# lists what the folder holds and copies the store out to $2, then gives the file system room and
# runs the command again.
SMALL_DISK_SCRIPT = r"""
disk=$0 size=$1 out=$2; shift 2
mount -t tmpfs -o size=$size tmpfs "$disk" || exit 99
export PATTERN_COUNTERS_REGISTRY="$disk/registry.db"
"$@" >"$out/stdout" 2>"$out/stderr"; echo $? >"$out/status"
ls -A "$disk" >"$out/files"
for file in "$disk"/registry.db "$disk"/registry.db-wal; do
  [ -e "$file" ] && cp "$file" "$out/"
done
mount -o remount,size=4m "$disk" && "$@" >"$out/again" 2>&1; echo $? >"$out/again-status"
"""
# From a single page to room for the store and its log files (a size of 0 would be no limit).
SMALL_DISK_SIZES = range(4096, 128 * 1024 + 1, 4096)


def store_creation_on_small_disks(options):
    """A store created on a nearly full disk appears whole or not at all, leaves no temporary
    file, and is usable once there is room. Returns the sizes' failures."""
    require_mount_namespace()
    failures = []
    for size in SMALL_DISK_SIZES:
        with tempfile.TemporaryDirectory(prefix="pattern-counters-small-disk-") as folder:
            disk, out = os.path.join(folder, "disk"), os.path.join(folder, "out")
            os.mkdir(disk)
            os.mkdir(out)
            command = [options.reg, "add", CLIENT_KEY, "/v", "UsingPattern", "/t", "REG_DWORD",
                       "/d", "7", "/f"]
            subprocess.run(["unshare", "-m", "sh", "-c", SMALL_DISK_SCRIPT, disk, str(size), out]
                           + command, check=True, timeout=60)
            read = lambda name: open(os.path.join(out, name)).read().strip()
            files = set(read("files").split())
            problems = []
            # A connection that failed for want of room may leave SQLite's own log and index.
            if files - {"registry.db", "registry.db-wal", "registry.db-shm"}:
                problems.append(f"left {sorted(files)}")
            store_path = os.path.join(out, "registry.db")
            if os.path.exists(store_path):
                try:
                    with sqlite3.connect(store_path) as db:
                        checked = db.execute("PRAGMA integrity_check").fetchone()[0]
                        layout = db.execute("PRAGMA user_version").fetchone()[0]
                except sqlite3.DatabaseError as error:
                    checked, layout = str(error), 0
                if checked != "ok" or layout == 0:
                    problems.append(f"a store that is not whole: {checked}")
            elif read("status") == "0":
                problems.append("success without a store")
            if read("again-status") != "0":
                problems.append(f"with room again, {read('again')!r}")
            if problems:
                failures.append(f"{size} bytes: status {read('status')}, {read('stderr')!r}: "
                                + "; ".join(problems))
    return failures


def committed_log(path):
    """Commits a transaction and returns the log it left before a checkpoint folded it into the
    store: what a writer killed after its commit leaves."""
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA wal_autocheckpoint = 0")
    db.execute("BEGIN IMMEDIATE")
    db.execute("INSERT INTO keys (parent, name) VALUES (3, 'Later')")
    db.execute("COMMIT")
    with open(path, "rb") as store_file, open(path + "-wal", "rb") as log:
        left = store_file.read(), log.read()
    db.close()
    return left


def put_back(path, left):
    for name, data in zip((path, path + "-wal"), left):
        with open(name, "wb") as file:
            file.write(data)


def other_database_log(path, name):
    """The -wal or -journal of another database, holding a committed or an open transaction."""
    other = path + ".other"
    db = sqlite3.connect(other, isolation_level=None)
    db.execute("PRAGMA journal_mode = " + ("WAL" if name == "-wal" else "DELETE"))
    db.execute("PRAGMA wal_autocheckpoint = 0")
    db.execute("CREATE TABLE t (x)")
    db.execute("INSERT INTO t VALUES (1)")
    db.execute("BEGIN IMMEDIATE")
    db.execute("UPDATE t SET x = 2")  # the journal holds the page as it was
    shutil.copy(other + name, path + name)
    db.execute("ROLLBACK")
    db.close()


def at(path_name, make=None, mode=None, folder_mode=None):
    """Prepares the store at `path_name` in the case's folder, with `make` and the modes given."""
    def prepare(folder):
        path = os.path.join(folder, path_name)
        if make:
            make(path)
        if mode is not None:
            os.chmod(path, mode)
        if folder_mode is not None:
            os.chmod(folder, folder_mode)
        return {"PATTERN_COUNTERS_REGISTRY": path}
    return prepare


def overwrite_last_page(path):
    """Damages the store's last page, where the values lie."""
    with open(path, "r+b") as file:
        file.seek(os.path.getsize(path) - 4096)
        file.write(b"\xff" * 4096)


def in_folder(command, folder):
    """Runs the command in the case's folder, so that its file names are the folder's."""
    return ["sh", "-c", 'cd "$0" && exec "$@"', folder] + command


# Mounts a small file system on the store's folder with the store and an earlier export in it,
# fills it, runs the command there, and fails (status 3) when the earlier export changed.
EXPORT_ON_FULL_DISK_SCRIPT = r"""
store=$PATTERN_COUNTERS_REGISTRY disk=${PATTERN_COUNTERS_REGISTRY%/*}
cp "$store" "$disk.copy" && mount -t tmpfs -o size=256k tmpfs "$disk" &&
  cp "$disk.copy" "$store" && printf 'an earlier export' >"$disk/out.reg" || exit 99
cat /dev/zero >"$disk/filler" 2>/dev/null
cd "$disk" && "$@"
status=$?
[ "$(cat out.reg)" = 'an earlier export' ] || { echo "the earlier export changed" >&2; exit 3; }
exit $status
"""


def on_a_full_disk_beside_an_export(command, folder):
    require_mount_namespace()
    return ["unshare", "-m", "sh", "-c", EXPORT_ON_FULL_DISK_SCRIPT, "sh"] + command


def links_by_nobody(store_and_more, link_target):
    """Prepares a store and, in a shared sticky folder beside it, shared/out.reg: a symbolic link
    that nobody made to `link_target`, a file or folder of root's alone beside the store."""
    def prepare(path):
        if not IS_ROOT or not shutil.which("setpriv"):
            raise Skip("needs root and setpriv to act as another user")
        store_and_more(path)
        folder = os.path.dirname(path)
        os.mkdir(os.path.join(folder, "shared"), 0o1777)
        os.chmod(os.path.join(folder, "shared"), 0o1777)
        os.mkdir(os.path.join(folder, "private"), 0o700)
        with open(os.path.join(folder, "private", "secret"), "w") as file:
            file.write("root's own")
        os.chmod(os.path.join(folder, "private", "secret"), 0o600)
        subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "ln",
                        "-s", link_target, os.path.join(folder, "shared", "out.reg")], check=True)
    return prepare


# Runs the command in the case's folder, then fails (status 3) when root's private files changed.
PRIVATE_FILES_KEPT_SCRIPT = r"""
cd "$0" && "$@"
status=$?
[ "$(cat private/secret)" = "root's own" ] && [ "$(ls private)" = secret ] ||
  { echo "root's private files changed" >&2; exit 3; }
exit $status
"""


def private_files_kept(command, folder):
    return ["sh", "-c", PRIVATE_FILES_KEPT_SCRIPT, folder] + command


# A path of SQLite's, below the case's folder, too long for it to open: three names of 200 bytes.
TOO_LONG = "/".join(name * 200 for name in "xyz") + "/registry.db"


def nothing_made_below(command, folder):
    """Runs the command, then fails (status 3) when it made anything on the way to TOO_LONG."""
    script = '"$@"; status=$?; [ ! -e "$0" ] || { echo "made folders" >&2; exit 3; }; exit $status'
    return ["sh", "-c", script, os.path.join(folder, TOO_LONG.split("/")[0])] + command


def add_many_values(options, path):
    """Fills the client key with values over several pages, the last of them the file's last: only
    a read of that key's values reaches it."""
    lines = ["REGEDIT4", "", f"[{CLIENT_KEY.replace('HKLM', 'HKEY_LOCAL_MACHINE')}]"]
    lines += [f'"V{index:03}"="{"x" * 100}"' for index in range(300)]
    with open(path + ".reg", "w") as file:
        file.write("\r\n".join(lines) + "\r\n")
    companion(options, path, "import", path + ".reg")


def log_of_another_group(path):
    """A store shared by all, beside the log a killed program of daemon's left with daemon's group,
    as in a shared folder without the setgid bit."""
    if not IS_ROOT:
        raise Skip("needs root to give the log to another user")
    put_back(path, committed_log(path))
    owner = pwd.getpwnam("daemon")
    os.chown(path + "-wal", owner.pw_uid, owner.pw_gid)
    os.chmod(path + "-wal", 0o660)


def companion_message_table(options):
    """(title, prepare, wrap, the companion's arguments, what its error must say)."""
    store = lambda path: make_store(options, path)
    add = ["add", CLIENT_KEY, "/v", "Other", "/d", "1", "/f"]
    export = lambda target: ["export", CLIENT_KEY, target, "/y"]
    beside_store = lambda make_other: lambda path: (store(path), make_other(path))
    in_store_folder = lambda name: lambda path: os.path.join(os.path.dirname(path), name)
    is_the_store = "it is the registry store or one of its side files"
    return [
        ("export onto the store", at("registry.db", store), in_folder, export("registry.db"),
         is_the_store),
        ("export onto the store's log", at("registry.db", store), in_folder,
         export("registry.db-wal"), is_the_store),
        ("export through a symbolic link to the store", at("registry.db", beside_store(
            lambda path: os.symlink("registry.db", in_store_folder("out.reg")(path)))),
         in_folder, export("out.reg"), is_the_store),
        ("export through a hard link to the store", at("registry.db", beside_store(
            lambda path: os.link(path, in_store_folder("out.reg")(path)))),
         in_folder, export("out.reg"), "names (hard links)"),
        ("backup onto the store's journal", at("registry.db", store), in_folder,
         ["backup", "registry.db-journal"], is_the_store),
        ("backup through a symbolic link to the store's journal", at("registry.db", beside_store(
            lambda path: os.symlink("registry.db-journal", in_store_folder("copy.db")(path)))),
         in_folder, ["backup", "copy.db"], is_the_store),
        ("export on a full disk, over an earlier export", at("disk/registry.db", store),
         on_a_full_disk_beside_an_export, export("out.reg"),
         "No space left on device"),
        ("export as root through a link to root's own file that nobody made in a shared folder",
         at("registry.db", links_by_nobody(store, "../private/secret")), private_files_kept,
         export("shared/out.reg"), "it is a symbolic link"),
        ("export as root through a link to nothing that nobody made in a shared folder",
         at("registry.db", links_by_nobody(store, "../private/cron-job")), private_files_kept,
         export("shared/out.reg"), "it is a symbolic link"),
        ("add to a store whose full path is too long for SQLite", at(TOO_LONG),
         nothing_made_below, add, "too long for SQLite"),
        ("query with its output to a full device", at("registry.db", store),
         lambda command, folder: ["sh", "-c", 'exec "$@" >/dev/full', "sh"] + command,
         ["query", CLIENT_KEY], "Cannot write the output: No space left on device"),
        ("export into a folder that does not exist", at("registry.db", store), in_folder,
         export("nowhere/out.reg"), "No such file or directory"),
        ("export onto a FIFO", at("registry.db", beside_store(
            lambda path: os.mkfifo(in_store_folder("out.reg")(path)))),
         in_folder, export("out.reg"), "it is not a regular file"),
        ("import of a folder", at("registry.db", store), in_folder, ["import", "."],
         "Is a directory"),
        ("import of a FIFO that no one writes", at("registry.db", beside_store(
            lambda path: os.mkfifo(in_store_folder("in.reg")(path)))),
         in_folder, ["import", "in.reg"], "it is not a regular file"),
        ("add to a store on a read-only file system", at("registry.db", store, 0o666, 0o777),
         on_read_only_mount, add, "it is on a read-only file system"),
        ("add to a store in a folder the user may not write", at("registry.db", store, 0o666, 0o755),
         as_nobody, add, "this user may not create files in its folder"),
        ("add to a store the user may not write", at("registry.db", store, 0o644, 0o777),
         as_nobody, add, "this user may not write the store file"),
        ("add to a shared store beside a log that another user's program left with its group",
         at("registry.db", lambda path: (store(path), log_of_another_group(path)), 0o666, 0o777),
         as_nobody, add,
         "registry.db-wal, which SQLite keeps beside it, belongs to user daemon"),
        ("query through a symbolic link to nothing",
         at("registry.db", lambda path: os.symlink(path + ".gone", path)),
         lambda command, folder: command, ["query", CLIENT_KEY],
         "it is a symbolic link to a file that does not exist"),
        ("add to a store made by an earlier development version",
         at("registry.db", lambda path: layout_1_store(path, {"UsingPattern": 1})),
         lambda command, folder: command, add, "made by an earlier development version"),
        # The failed read of the values must be reported, not the subkeys' read after it.
        ("query a key whose values are damaged", at("registry.db", lambda path: (
            store(path), overwrite_last_page(path))), lambda command, folder: command,
         ["query", CLIENT_KEY], "it is damaged (database disk image is malformed)"),
        ("query the keys below one whose subkey's values are damaged",
         at("registry.db", lambda path: (store(path), add_many_values(options, path),
                                         overwrite_last_page(path))),
         lambda command, folder: command, ["query", r"HKLM\SOFTWARE\KESTRAN", "/s"],
         "it is damaged (database disk image is malformed)"),
        ("restore from a backup whose values are damaged", at("registry.db", lambda path: (
            store(path), companion(options, path, "backup", path + ".bak"),
            overwrite_last_page(path + ".bak"))), in_folder,
         ["restore", "registry.db.bak", "/f"], "malformed"),
    ]


# A writer in rollback-journal mode that spills its changes into the file and is killed before it
# commits: its journal is hot, and the file half written.
KILLED_ROLLBACK_WRITER = r"""
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size = 1")
db.execute("BEGIN")
db.execute("UPDATE vals SET data = randomblob(300)")
os._exit(0)
"""


def header_modes(path):
    """Bytes 18 and 19 of the database header: 2 and 2 in write-ahead-log mode."""
    with open(path, "rb") as file:
        return tuple(file.read(20)[18:20])


def administrators_table(options):
    """Stores as administrators leave them: (title, prepare(folder) -> store path given to the
    programs, program ("tool" or "reg"), arguments, expected status, a fragment its output must
    hold, check(folder) -> failures afterwards)."""
    store = lambda path: make_store(options, path)

    def rollback_copy_with_killed_writer(folder):
        source, path = os.path.join(folder, "source.db"), os.path.join(folder, "registry.db")
        store(source)
        add_many_values(options, source)
        with sqlite3.connect(source) as db:
            db.execute("VACUUM INTO ?", (path,))
        subprocess.run([sys.executable, "-c", KILLED_ROLLBACK_WRITER, path], check=True)
        if not os.path.exists(path + "-journal"):
            raise Skip("the killed writer left no journal")
        return path

    def in_write_ahead_log_mode_and_whole(folder):
        path = os.path.join(folder, "registry.db")
        failures = [] if header_modes(path) == (2, 2) else [f"modes {header_modes(path)}"]
        with sqlite3.connect(path) as db:
            checked = db.execute("PRAGMA integrity_check").fetchone()[0]
            values = db.execute("SELECT count(*) FROM vals WHERE length(data) = 300").fetchone()[0]
        if checked != "ok" or values:
            failures.append(f"not rolled back whole: {checked}, {values} values of the killed write")
        return failures

    def link_with_killed_writers_log(folder):
        os.mkdir(os.path.join(folder, "real"))
        target = os.path.join(folder, "real", "registry.db")
        store(target)
        put_back(target, committed_log(target))
        os.symlink(target, os.path.join(folder, "registry.db"))
        return os.path.join(folder, "registry.db")

    def backup_has_later(folder):
        backup = os.path.join(folder, "copy.db")
        with sqlite3.connect(f"file:{backup}?mode=ro", uri=True) as db:
            found = db.execute("SELECT count(*) FROM keys WHERE name = 'Later'").fetchone()[0]
        return [] if found else ["the backup lacks the killed writer's committed key"]

    def hard_link(folder):
        path = os.path.join(folder, "registry.db")
        store(path)
        os.link(path, os.path.join(folder, "other-name.db"))
        return path

    def double_slash(folder):
        store(os.path.join(folder, "registry.db"))
        return "/" + os.path.join(folder, "registry.db")

    def private_folder(folder):
        os.mkdir(os.path.join(folder, "home"), 0o700)
        path = os.path.join(folder, "home", "registry.db")
        store(path)
        os.chmod(path, 0o644)
        return path

    def backup_is_private(folder):
        mode = stat.S_IMODE(os.stat(os.path.join(folder, "home", "copy.db")).st_mode)
        return [] if mode == 0o600 else [f"the backup's mode is {mode:o}"]

    nothing = lambda folder: []
    return [
        ("a copy made with VACUUM INTO, beside its killed writer's journal",
         rollback_copy_with_killed_writer, "tool", [r"C:\defs\20030214.012"], 0, REPORT,
         in_write_ahead_log_mode_and_whole),
        ("a store named through a symbolic link, with a killed writer's log beside its target",
         link_with_killed_writers_log, "reg", ["query", r"HKLM\Later"], 0, "", nothing),
        ("a backup through a symbolic link, with a killed writer's log beside its target",
         link_with_killed_writers_log, "reg", ["backup", "copy.db"], 0, "", backup_has_later),
        ("a store with a second name (a hard link)", hard_link, "reg",
         ["add", CLIENT_KEY, "/v", "Other", "/d", "1", "/f"], 1, "names (hard links)", nothing),
        ("a store with a second name, for the tool", hard_link, "tool",
         [r"C:\defs\20030214.012"], 0, CANNOT_OPEN, nothing),
        ("a store path that starts with //", double_slash, "tool", [r"C:\defs\20030214.012"], 0,
         REPORT, nothing),
        ("a backup of a store readable by all, in a private folder", private_folder, "reg",
         ["backup", "home/copy.db"], 0, "", backup_is_private),
    ]


def run_administrators_case(options, title, prepare, program, arguments, status, fragment, after):
    with tempfile.TemporaryDirectory(prefix="pattern-counters-store-") as folder:
        environment = dict(os.environ, PATTERN_COUNTERS_REGISTRY=prepare(folder))
        program_path = os.path.abspath(options.tool if program == "tool" else options.reg)
        done = subprocess.run([program_path] + arguments,
                              env=environment, cwd=folder, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=60)
        output = (done.stdout + done.stderr).decode("latin-1")
        failures = [] if done.returncode == status and fragment in output else [
            f"expected status {status} and {fragment!r}, got {done.returncode} and {output!r}"]
        return failures + after(folder)


def run_in_scratch(program, prepare, wrap, arguments):
    """Runs a copy of the program, reachable by nobody wherever the build lies, in a new folder
    that `prepare` fills. Returns the finished run (None when it ran over 60 seconds) and whether
    the store file changed."""
    with tempfile.TemporaryDirectory(prefix="pattern-counters-store-") as folder:
        os.chmod(folder, 0o755)
        copy = os.path.join(folder, os.path.basename(program))
        shutil.copy(program, copy)
        os.chmod(copy, 0o755)
        environment = dict(os.environ)
        environment.update(prepare(folder))
        path = environment.get("PATTERN_COUNTERS_REGISTRY", "")
        before = digest(path) if path else None
        try:
            done = subprocess.run(wrap([copy] + arguments, folder), env=environment,
                                  capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        except subprocess.TimeoutExpired:
            return None, False
        os.chmod(folder, 0o755)
        return done, bool(path) and digest(path) != before


def run_companion_case(options, title, prepare, wrap, arguments, fragment):
    """Runs the companion on a store it must refuse: status 1, an error that says why, and the
    store left as it was."""
    done, changed = run_in_scratch(options.reg, prepare, wrap, arguments)
    if done is None:
        return ["still running after 60 seconds"]
    failures = []
    error = done.stderr.decode("latin-1")
    if done.returncode != 1 or fragment not in error:
        failures.append(f"expected status 1 and an error saying {fragment!r}, got "
                        f"{done.returncode} and {error!r}")
    if changed:
        failures.append("the store file changed")
    return failures


def case_table(options):
    """(title, prepare(folder) -> environment, wrap(command, folder) -> command, stdout)."""
    store = lambda path: make_store(options, path)
    plain = lambda command, folder: command

    def store_to_seed(path):
        """A store whose client key holds only UsingPattern."""
        companion(options, path, "add", CLIENT_KEY, "/v", "UsingPattern", "/t", "REG_DWORD", "/d",
                  "1350668", "/f")
    def killed_writers_log(path):
        store(path)
        put_back(path, committed_log(path))

    report_counters = {"ParentBackRevCounter": 5, "BackRevCounter": 5, "ParentPattern": 1350668,
                       "UsingPattern": 1350668}

    def earlier_development_store(path):
        layout_1_store(path, report_counters)
        put_back(path, committed_log(path))

    def beside_other_databases(name):
        return lambda path: (store(path), other_database_log(path, name))

    return [
        ("no store file", at("registry.db"), plain, CANNOT_OPEN),
        ("a store with a killed writer's log, which is replayed", at("registry.db", killed_writers_log),
         plain, REPORT),
        ("a store made by an earlier development version, beside its own log",
         at("registry.db", earlier_development_store), plain, CANNOT_OPEN),
        ("a store beside another database's hot journal",
         at("registry.db", beside_other_databases("-journal")), plain, CANNOT_OPEN),
        ("no location: neither the variable nor HOME",
         lambda folder: {"PATTERN_COUNTERS_REGISTRY": "", "XDG_STATE_HOME": "", "HOME": ""},
         plain, CANNOT_OPEN),
        ("the default location under XDG_STATE_HOME",
         lambda folder: (store(os.path.join(folder, "state/pattern-counters/registry.db")),
                         {"PATTERN_COUNTERS_REGISTRY": "",
                          "XDG_STATE_HOME": os.path.join(folder, "state")})[1],
         plain, REPORT),
        ("the default location under HOME",
         lambda folder: (store(os.path.join(folder, ".local/state/pattern-counters/registry.db")),
                         {"PATTERN_COUNTERS_REGISTRY": "", "XDG_STATE_HOME": "relative",
                          "HOME": folder})[1],
         plain, REPORT),
        ("a store the user may read and write (control)",
         at("registry.db", store, 0o666, 0o777), as_nobody, REPORT),
        ("a store the user may not read", at("registry.db", store, 0o600, 0o777), as_nobody,
         CANNOT_OPEN),
        ("a store the user may read but not write", at("registry.db", store, 0o644, 0o777),
         as_nobody, CANNOT_OPEN),
        ("a store in a folder the user may not write", at("registry.db", store, 0o666, 0o755),
         as_nobody, CANNOT_OPEN),
        ("a store in a shared folder after a query by a user who may only read it",
         at("registry.db", store, 0o644, 0o1777), after_a_readers_query(options), REPORT),
        ("a store on a read-only file system", at("registry.db", store, 0o666, 0o777),
         on_read_only_mount, CANNOT_OPEN),
        # The damage lies where the values are: the first read fails, and its seed is refused
        # rather than written into the damaged file.
        ("a store with its last page overwritten",
         at("registry.db", lambda path: (store(path), overwrite_last_page(path))),
         plain, "Fail to query ParentBackRevCounter.\nCannot set ParentBackRevCounter.\n"),
        ("a store on a full disk", at("disk/registry.db", store), on_full_disk(0), CANNOT_OPEN),
        # Beside the log's index there is room for the log's first page, ParentPattern's, and no
        # more: the second write is refused, and reported.
        ("a store on a disk with room for the log's index only", at("disk/registry.db", store),
         on_full_disk(LOG_INDEX_BYTES), REPORT + "Cannot set BackRevCounter.\n"),
        ("a store to seed on a disk with room for the log's index only",
         at("disk/registry.db", store_to_seed), on_full_disk(LOG_INDEX_BYTES),
         "Fail to query ParentBackRevCounter.\nCannot set ParentBackRevCounter.\n"),
    ]


def digest(path):
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def run_case(options, title, prepare, wrap, expected):
    done, changed = run_in_scratch(options.tool, prepare, wrap, [r"C:\defs\20030214.012"])
    if done is None:
        return ["still running after 60 seconds"]
    failures = []
    got = (done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1"))
    if got != (0, expected, ""):
        failures.append(f"expected status 0 and {expected!r}, got {got}")
    if expected != REPORT and changed:
        failures.append("the store file changed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--reg", required=True)
    options = parser.parse_args()

    cases = [(row[0], lambda row=row: run_case(options, *row)) for row in case_table(options)]
    cases += [("the companion: " + row[0], lambda row=row: run_companion_case(options, *row))
              for row in companion_message_table(options)]
    cases += [("as administrators leave it: " + row[0],
               lambda row=row: run_administrators_case(options, *row))
              for row in administrators_table(options)]
    cases.append(("creating a store on disks of " + ", ".join(
        str(size // 1024) for size in SMALL_DISK_SIZES) + " KiB",
        lambda: store_creation_on_small_disks(options)))
    return run_cases(cases)


if __name__ == "__main__":
    sys.exit(main())
