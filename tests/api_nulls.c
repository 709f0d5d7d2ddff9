/*
** api_nulls.c - null pointers and odd numbers into every entry point of the
** public header, from C: none may crash (run under the sanitizers too).
*/
#include <limits.h>
#include <stdio.h>

#include "vezlog.h"

int main(void) {
  log__init(NULL);
  log__init_error_audit(-5, NULL);
  log__init_error_audit(INT_MAX, NULL);
  log__log_error(1, NULL, INT_MIN, NULL, NULL, 5);
  log__log_error(INT_MIN, NULL, 0, "null data with a length", NULL, INT_MAX);
  log__log_audit(0, NULL, -1, NULL, NULL, -3);
  log__log_audit(INT_MIN, "", 0, "", "x", INT_MIN);
  log__log_devmsg(INT_MIN, NULL, 0, NULL, NULL, 1);
  log__get_drop_counts(NULL);
  log__shut_error_audit();
  log__shut_error_audit();
  log__log_error(1, NULL, 0, NULL, NULL, 0);
  printf("survived\n");
  return 0;
}
