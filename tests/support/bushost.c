/*
** bushost.c - a host program with a SIGBUS handler of its own, installed
** before the library starts or after: it logs through the library, cuts
** the data file the library maps, logs again (errors and a filtered
** audit), then faults on a mapping of its own. Its handler must see its own
** fault and only that one; the library must go on logging. POSIX only.
**
**   bushost before|after DATAFILE SCRATCHFILE
**
** Prints "own faults N" and exits 0 when its handler saw exactly its fault.
*/
#define _GNU_SOURCE
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vezlog.h"

static sigjmp_buf back;
static volatile sig_atomic_t own_faults = 0;

static void on_bus(int sig, siginfo_t *info, void *context) {
  (void)sig;
  (void)info;
  (void)context;
  own_faults++;
  siglongjmp(back, 1);
}

static void install(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_bus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, NULL);
}

int main(int argc, char **argv) {
  if (argc != 4) return 2;
  int after = strcmp(argv[1], "after") == 0;
  if (!after) install();
  log__log_error(1, "bushost.c", 1, "before the cut", NULL, 0);
  if (after) install();
  /* the library looks again, at most once a second, whose handler comes first */
  sleep(1);
  log__log_error(1, "bushost.c", 2, "handler installed", NULL, 0);
  if (truncate(argv[2], 0) != 0) return 3;
  if (sigsetjmp(back, 1) == 0) {
    log__log_audit(100, "bushost.c", 3, "filtered", NULL, 0);
    log__log_error(1, "bushost.c", 4, "after the cut", NULL, 0);
  }
  /* a fault of the host's own: a mapping of a file it cuts itself */
  int fd = open(argv[3], O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, 8192) != 0) return 4;
  volatile char *p = mmap(NULL, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED || ftruncate(fd, 0) != 0) return 5;
  if (sigsetjmp(back, 1) == 0) p[4096] = 1;
  printf("own faults %d\n", (int)own_faults);
  return own_faults == 1 ? 0 : 1;
}
