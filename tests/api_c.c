/*
** api_c.c - a C program that links the library through its public header:
** an error right after a failed open (the record carries the caller's
** code), one audit record, and null arguments, which every entry point
** must take without a crash.
*/
#include <stdio.h>

#include "vezlog.h"

int main(void) {
  static const unsigned char data[3] = {1, 2, 3};
  FILE *missing = fopen("/nonexistent-vez-dir/f", "r");
  if (missing != NULL) fclose(missing);
  log__log_error(1, "api_c.c", 10, "error from C", data, (int)sizeof data);
  log__log_audit(0, "api_c.c", 11, "audit from C", NULL, 0);
  printf("levels %d %d\n", (int)*log__error_level, (int)*log__audit_level);
  log__shut_error_audit();
  return 0;
}
