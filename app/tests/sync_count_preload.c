// Loaded into a run of the program with LD_PRELOAD: every call of fsync or
// fdatasync (a durable write of a file or a folder) appends one byte to the
// file named by $DROSIL_SYNC_COUNT_FILE, so its size is the count, whichever
// way the process ends.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <unistd.h>

typedef int (*sync_fn)(int);

static atomic_int countFd = -2;  // -2: not opened yet; -1: no count file

static void count(void) {
  int fd = atomic_load(&countFd);
  if (fd == -2) {
    const char* path = getenv("DROSIL_SYNC_COUNT_FILE");
    int opened = (path && *path) ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    int expected = -2;
    if (!atomic_compare_exchange_strong(&countFd, &expected, opened)) {
      if (opened >= 0) close(opened);
    }
    fd = atomic_load(&countFd);
  }
  if (fd >= 0 && write(fd, "s", 1) != 1) abort();
}

int fsync(int fd) {
  count();
  sync_fn next = (sync_fn)dlsym(RTLD_NEXT, "fsync");
  return next(fd);
}

int fdatasync(int fd) {
  count();
  sync_fn next = (sync_fn)dlsym(RTLD_NEXT, "fdatasync");
  return next(fd);
}
