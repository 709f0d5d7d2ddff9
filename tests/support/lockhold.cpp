/*
** lockhold.cpp - a second process for lock tests: holds a file open without
** sharing, says "held" on standard output, and lets go when its standard
** input ends (or when it is killed).
*/
#include <stdio.h>

#include "platform.h"

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  printf("held\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  CloseHandle(h);
  return 0;
}
