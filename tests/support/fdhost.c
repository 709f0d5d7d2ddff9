/*
** fdhost.c - a host program with a common daemon habit: once started, it
** closes every descriptor above 2 it did not open (the library's kept files
** among them) and opens files of its own, which get the same numbers. It
** logs before and after. No record or lock of the library may reach its
** files. POSIX only.
**
**   fdhost SCRATCHDIR
**
** Prints "own files untouched N" and exits 0 when none of its N files got a
** byte.
*/
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vezlog.h"

#define MOST 64

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  log__log_error(1, "fdhost.c", 1, "before the host closes descriptors", NULL, 0);
  /* the numbers open now, above 2 */
  int numbers[MOST], n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == NULL) return 3;
  int listing = dirfd(d);
  struct dirent *e;
  while ((e = readdir(d)) != NULL && n < MOST) {
    int fd = atoi(e->d_name);
    if (fd > 2 && fd != listing) numbers[n++] = fd;
  }
  closedir(d);
  /* closed, and each number taken again by a file of the host's */
  for (int i = 0; i < n; i++)
    close(numbers[i]);
  for (int i = 0; i < n; i++) {
    char name[4096];
    snprintf(name, sizeof name, "%s/own-%d", argv[1], numbers[i]);
    int fd = open(name, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (fd != numbers[i] && (dup2(fd, numbers[i]) < 0 || close(fd) != 0))) return 4;
  }
  log__log_error(1, "fdhost.c", 2, "after the host took the numbers", NULL, 0);
  log__log_error(1, "fdhost.c", 3, "and once more", NULL, 0);
  int touched = 0;
  for (int i = 0; i < n; i++) {
    struct stat st;
    if (fstat(numbers[i], &st) != 0 || st.st_size != 0) touched++;
  }
  printf("own files untouched %d\n", n - touched);
  return touched == 0 && n > 0 ? 0 : 1;
}
