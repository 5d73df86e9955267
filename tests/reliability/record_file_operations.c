/* Preloaded into a program, records every operation it makes on the files of one folder, in order,
   so that a test can rebuild what a disk could hold after a power loss at any moment.

   RECORD_FILE_OPERATIONS_FOLDER names the folder (an absolute path without a trailing slash) and
   RECORD_FILE_OPERATIONS_LOG the log. Each record is one text line, "OPERATION PATH [NUMBER...]",
   and a write's line is followed by its bytes:
     create PATH            a new file at PATH (an open that made it)
     truncate PATH SIZE     the file cut or extended to SIZE (ftruncate, or an open with O_TRUNC)
     write PATH OFFSET SIZE the SIZE bytes written at OFFSET follow
     sync PATH              fsync or fdatasync of the file
     syncdir PATH           fsync of the folder itself
     rename FROM TO, link FROM TO, unlink PATH
     unnamed PATH           a new file without a name in the folder (O_TMPFILE), called PATH
                            here (FOLDER/#unnamed-N) until a link gives it a name
   Paths are those of files directly in the folder. Calls on other files pass through unrecorded.

   It also kills the program where a test asks: with RECORD_FILE_OPERATIONS_KILL_AT=N, the program
   gets SIGKILL just before its Nth write, flush, truncation, creation, rename, link or unlink in
   the folder, and RECORD_FILE_OPERATIONS_COUNT names a file that gets the number of those it made,
   when it exits. Either may be used without a log. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MAX_FDS 4096

static char* watched_paths[MAX_FDS]; /* the recorded path of each open descriptor, or NULL */
static int log_fd = -1;
static const char* folder;
static int active;           /* whether the folder's operations are watched */
static long operations_made; /* of the folder's files */
static long kill_at;         /* the operation to die before; 0 for none */

/* The next definition of the function NAME: the C library's own. */
static void (*next_definition(const char* name))(void) {
  union {
    void* object;
    void (*function)(void);
  } symbol = {dlsym(RTLD_NEXT, name)};
  return symbol.function;
}
#define REAL(name) ((__typeof__(&name))next_definition(#name))

__attribute__((constructor)) static void start_recording(void) {
  folder = getenv("RECORD_FILE_OPERATIONS_FOLDER");
  const char* log_path = getenv("RECORD_FILE_OPERATIONS_LOG");
  const char* kill = getenv("RECORD_FILE_OPERATIONS_KILL_AT");
  kill_at = kill != NULL ? atol(kill) : 0;
  active = folder != NULL &&
           (log_path != NULL || kill_at > 0 || getenv("RECORD_FILE_OPERATIONS_COUNT") != NULL);
  if (active && log_path != NULL)
    log_fd = REAL(open)(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

__attribute__((destructor)) static void report_count(void) {
  const char* count_path = getenv("RECORD_FILE_OPERATIONS_COUNT");
  if (!active || count_path == NULL)
    return;
  const int fd = REAL(open)(count_path, O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0644);
  char line[32];
  const int size = snprintf(line, sizeof line, "%ld\n", operations_made);
  if (fd < 0 || REAL(write)(fd, line, (size_t)size) != size)
    abort();
  REAL(close)(fd);
}

/* Counts an operation on a watched file that is about to be made, and dies before it when it is
   the one asked for. */
static void before_operation(int on_watched_file) {
  if (on_watched_file && ++operations_made == kill_at)
    raise(SIGKILL);
}

static void write_all(const void* data, size_t size) {
  if (log_fd < 0)
    return;
  const char* bytes = data;
  while (size > 0) {
    const ssize_t written = REAL(write)(log_fd, bytes, size);
    if (written <= 0)
      abort(); /* a record lost would make every crash state built from the log wrong */
    bytes += written;
    size -= (size_t)written;
  }
}

static void record(const char* format, ...) {
  char line[3 * PATH_MAX];
  va_list arguments;
  va_start(arguments, format);
  const int size = vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (size < 0 || (size_t)size >= sizeof line)
    abort();
  write_all(line, (size_t)size);
}

/* Writes FIRST/SECOND (or SECOND alone when FIRST is NULL) into `out`; 0 when it does not fit. */
static int joined(char out[PATH_MAX], const char* first, const char* second) {
  const int size = first == NULL ? snprintf(out, PATH_MAX, "%s", second)
                                 : snprintf(out, PATH_MAX, "%s/%s", first, second);
  return size >= 0 && size < PATH_MAX;
}

/* The path, made absolute, when it names something in the watched folder (the folder itself
   included); NULL otherwise. The result is to be freed. */
static char* watched(int dir_fd, const char* path) {
  if (!active || path == NULL)
    return NULL;
  char absolute[PATH_MAX];
  char cwd[PATH_MAX];
  int known;
  if (path[0] == '/')
    known = joined(absolute, NULL, path);
  else if (dir_fd == AT_FDCWD)
    known = getcwd(cwd, sizeof cwd) != NULL && joined(absolute, cwd, path);
  else if (dir_fd >= 0 && dir_fd < MAX_FDS && watched_paths[dir_fd] != NULL)
    known = joined(absolute, watched_paths[dir_fd], path);
  else
    known = 0;
  const size_t length = strlen(folder);
  if (!known || strncmp(absolute, folder, length) != 0)
    return NULL;
  const char* rest = absolute + length;
  if (*rest == '\0')
    return strdup(folder);
  if (*rest != '/' || strchr(rest + 1, '/') != NULL)
    return NULL;
  return strdup(absolute);
}

static int opened(int fd, char* path, int flags, int existed) {
  if (fd < 0 || path == NULL || fd >= MAX_FDS) {
    free(path);
    return fd;
  }
  if (!existed)
    record("create %s\n", path);
  else if (flags & O_TRUNC)
    record("truncate %s 0\n", path);
  free(watched_paths[fd]);
  watched_paths[fd] = path;
  return fd;
}

/* Opens a file without a name in the folder, recorded under a name of its own. */
static int open_unnamed(int dir_fd, const char* path, int flags, mode_t mode, char* folder_path) {
  static long unnamed_files;
  before_operation(1);
  const int fd = REAL(openat)(dir_fd, path, flags, mode);
  char* name = malloc(strlen(folder_path) + 32);
  if (name == NULL)
    abort();
  sprintf(name, "%s/#unnamed-%ld", folder_path, ++unnamed_files);
  free(folder_path);
  if (fd >= 0 && fd < MAX_FDS)
    record("unnamed %s\n", name);
  return opened(fd, name, 0, 1);
}

static int open_at(int dir_fd, const char* path, int flags, mode_t mode) {
  char* recorded = watched(dir_fd, path);
  if (recorded != NULL && (flags & O_TMPFILE) == O_TMPFILE && strcmp(recorded, folder) == 0)
    return open_unnamed(dir_fd, path, flags, mode, recorded);
  struct stat status;
  const int existed = recorded == NULL || fstatat(dir_fd, path, &status, 0) == 0;
  before_operation(recorded != NULL && (!existed || (flags & O_TRUNC)));
  return opened(REAL(openat)(dir_fd, path, flags, mode), recorded, flags, existed);
}

static mode_t mode_argument(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return open_at(AT_FDCWD, path, flags, mode);
}

int openat(int dir_fd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return open_at(dir_fd, path, flags, mode);
}

/* mkstemp opens its file inside the C library, out of reach of the open above. */
int mkostemp(char* template, int flags) {
  char* recorded = watched(AT_FDCWD, template);
  before_operation(recorded != NULL);
  free(recorded);
  const int fd = REAL(mkostemp)(template, flags);
  return fd < 0 ? fd : opened(fd, watched(AT_FDCWD, template), 0, 0);
}

int mkstemp(char* template) {
  return mkostemp(template, 0);
}

int close(int fd) {
  if (fd >= 0 && fd < MAX_FDS) {
    free(watched_paths[fd]);
    watched_paths[fd] = NULL;
  }
  return REAL(close)(fd);
}

static const char* path_of(int fd) {
  return fd >= 0 && fd < MAX_FDS ? watched_paths[fd] : NULL;
}

static void record_write(int fd, const void* data, ssize_t written, off_t offset) {
  if (written <= 0 || path_of(fd) == NULL)
    return;
  record("write %s %lld %lld\n", path_of(fd), (long long)offset, (long long)written);
  write_all(data, (size_t)written);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  before_operation(path_of(fd) != NULL);
  const ssize_t written = REAL(pwrite)(fd, data, size, offset);
  record_write(fd, data, written, offset);
  return written;
}

ssize_t write(int fd, const void* data, size_t size) {
  before_operation(path_of(fd) != NULL);
  const off_t offset = path_of(fd) != NULL ? lseek(fd, 0, SEEK_CUR) : 0;
  const ssize_t written = REAL(write)(fd, data, size);
  record_write(fd, data, written, offset);
  return written;
}

static int record_truncate(int fd, off_t size, int result) {
  if (result == 0 && path_of(fd) != NULL)
    record("truncate %s %lld\n", path_of(fd), (long long)size);
  return result;
}

int ftruncate(int fd, off_t size) {
  before_operation(path_of(fd) != NULL);
  return record_truncate(fd, size, REAL(ftruncate)(fd, size));
}

static int record_sync(int fd, int result) {
  const char* path = path_of(fd);
  if (result == 0 && path != NULL)
    record("%s %s\n", strcmp(path, folder) == 0 ? "syncdir" : "sync", path);
  return result;
}

int fsync(int fd) {
  before_operation(path_of(fd) != NULL);
  return record_sync(fd, REAL(fsync)(fd));
}

int fdatasync(int fd) {
  before_operation(path_of(fd) != NULL);
  return record_sync(fd, REAL(fdatasync)(fd));
}

/* Counts a rename or link about to be made between two paths. */
static void before_pair(const char* from, const char* to) {
  char* recorded_from = watched(AT_FDCWD, from);
  char* recorded_to = watched(AT_FDCWD, to);
  before_operation(recorded_from != NULL && recorded_to != NULL);
  free(recorded_from);
  free(recorded_to);
}

static int record_pair(const char* operation, const char* from, const char* to, int result) {
  char* recorded_from = watched(AT_FDCWD, from);
  char* recorded_to = watched(AT_FDCWD, to);
  if (result == 0 && recorded_from != NULL && recorded_to != NULL)
    record("%s %s %s\n", operation, recorded_from, recorded_to);
  free(recorded_from);
  free(recorded_to);
  return result;
}

int rename(const char* from, const char* to) {
  before_pair(from, to);
  return record_pair("rename", from, to, REAL(rename)(from, to));
}

int link(const char* from, const char* to) {
  before_pair(from, to);
  return record_pair("link", from, to, REAL(link)(from, to));
}

/* A link from /proc/self/fd/N names the file open as N: an unnamed file gets its name. */
int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  int fd = -1;
  const char* source = NULL;
  char* recorded_to = watched(to_dir, to);
  if (sscanf(from, "/proc/self/fd/%d", &fd) == 1 && (flags & AT_SYMLINK_FOLLOW))
    source = path_of(fd);
  before_operation(source != NULL && recorded_to != NULL);
  const int result = REAL(linkat)(from_dir, from, to_dir, to, flags);
  if (result == 0 && source != NULL && recorded_to != NULL)
    record("link %s %s\n", source, recorded_to);
  free(recorded_to);
  return result;
}

int unlink(const char* path) {
  char* recorded = watched(AT_FDCWD, path);
  before_operation(recorded != NULL);
  const int result = REAL(unlink)(path);
  if (result == 0 && recorded != NULL)
    record("unlink %s\n", recorded);
  free(recorded);
  return result;
}

/* On a 64-bit system the C library's ...64 functions are the same calls under a second name. */
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int dir_fd, const char* path, int flags, ...) __attribute__((alias("openat")));
int mkstemp64(char* template) __attribute__((alias("mkstemp")));
ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset)
    __attribute__((alias("pwrite")));
int ftruncate64(int fd, off_t size) __attribute__((alias("ftruncate")));
