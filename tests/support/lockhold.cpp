/*
** lockhold.cpp - a second process for lock tests: holds a file open without
** sharing (or, with --record, a lock on the file itself), says "held" on
** standard output, and lets go when its standard input ends (or when it is
** killed).
**
** The test probes for the lock by opening the file itself, so an attempt
** here can meet the probe's own brief hold: a sharing violation is tried
** again (for up to 30 s) rather than taken as the end.
*/
#include <stdio.h>

#include "platform.h"

int main(int argc, char **argv) {
  /* --record: a lock on the file itself, as any program that may write it can take */
  if (argc == 3 && strcmp(argv[1], "--record") == 0) {
    int fd = _open(argv[2], _O_RDWR | _O_CREAT | _O_BINARY, 0666);
    if (fd < 0 || !VezLockOpenFile(fd, 30000)) return 1;
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    _close(fd);
    return 0;
  }
  if (argc != 2) return 2;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 30000; tries++) {
    h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD err = GetLastError();
    if (h != INVALID_HANDLE_VALUE || err != ERROR_SHARING_VIOLATION) break;
    Sleep(1);
  }
  if (h == INVALID_HANDLE_VALUE) return 1;
  printf("held\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  CloseHandle(h);
  return 0;
}
