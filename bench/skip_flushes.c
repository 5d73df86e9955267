/* For the analysis of whole-run timings only: preloaded, it makes fsync and fdatasync return at
   once, so that the part of a run's time spent waiting for the disk can be told apart. A store
   written this way is not durable; the benchmark uses it on throwaway stores. */
#include <unistd.h>

int fsync(int fd) {
  (void)fd;
  return 0;
}

int fdatasync(int fd) {
  (void)fd;
  return 0;
}
