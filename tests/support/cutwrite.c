/*
** cutwrite.c - preloaded into a writer (LD_PRELOAD) to kill it inside a
** write, as a fatal signal stops the kernel between two pages: the first
** write of more than VEZ_TEST_CUT_WRITE bytes stores that many, then the
** process kills itself. With VEZ_TEST_KILL_AFTER_WRITE, the first write of
** more than that many bytes is made whole, and then the process is killed
** (a writer dead between its record and its seal). With
** VEZ_TEST_CLOCK_BACK, the clock reads that many seconds behind (time(2):
** a clock set back). POSIX only.
*/
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>
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
  const char *after = getenv("VEZ_TEST_KILL_AFTER_WRITE");
  if (after != NULL && count > strtoul(after, NULL, 10)) {
    real(fd, buf, count);
    kill(getpid(), SIGKILL);
  }
  return real(fd, buf, count);
}

time_t time(time_t *t) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const char *back = getenv("VEZ_TEST_CLOCK_BACK");
  time_t v = now.tv_sec - (back != NULL ? (time_t)strtol(back, NULL, 10) : 0);
  if (t != NULL) *t = v;
  return v;
}
