// Loaded into a run of the program with LD_PRELOAD: opening for reading a
// file whose name is $DROSIL_UNREADABLE_FILE fails with EIO, as a damaged
// disk or an exhausted descriptor table would make it fail. Writes, and every
// other file, go through, so a temporary renamed over the file still lands.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static int refused(const char* path, int flags) {
  const char* name = getenv("DROSIL_UNREADABLE_FILE");
  if (name == NULL || *name == '\0' || path == NULL || (flags & O_ACCMODE) != O_RDONLY) return 0;
  const char* slash = strrchr(path, '/');
  return strcmp(slash ? slash + 1 : path, name) == 0;
}

static int takesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// Defines `fn` with the parameters given, forwarding the call with `args`
// (which name `mode`) to the next definition unless it is refused.
#define DEFINE_OPEN(fn, fn_type, params, args)                \
  int fn params {                                             \
    mode_t mode = 0;                                          \
    if (takesMode(flags)) {                                   \
      va_list list;                                           \
      va_start(list, flags);                                  \
      mode = va_arg(list, mode_t);                            \
      va_end(list);                                           \
    }                                                         \
    if (refused(path, flags)) {                               \
      errno = EIO;                                            \
      return -1;                                              \
    }                                                         \
    fn_type next = (fn_type)dlsym(RTLD_NEXT, #fn);            \
    return next args;                                         \
  }

DEFINE_OPEN(open, open_fn, (const char* path, int flags, ...), (path, flags, mode))
DEFINE_OPEN(open64, open_fn, (const char* path, int flags, ...), (path, flags, mode))
DEFINE_OPEN(openat, openat_fn, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
DEFINE_OPEN(openat64, openat_fn, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
