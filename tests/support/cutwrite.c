/*
** cutwrite.c - preloaded into a writer (LD_PRELOAD) to kill it inside a
** write, as a fatal signal stops the kernel between two pages: the first
** write of more than VEZ_TEST_CUT_WRITE bytes stores that many, then the
** process kills itself. POSIX only.
*/
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

ssize_t write(int fd, const void *buf, size_t count) {
  static ssize_t (*real)(int, const void *, size_t);
  if (real == NULL) real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  const char *cut = getenv("VEZ_TEST_CUT_WRITE");
  if (cut != NULL && count > strtoul(cut, NULL, 10)) {
    real(fd, buf, strtoul(cut, NULL, 10));
    kill(getpid(), SIGKILL);
  }
  return real(fd, buf, count);
}
