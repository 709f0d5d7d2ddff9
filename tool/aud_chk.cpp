/*
** aud_chk.cpp - checks of the settings tool's option arguments.
*/
#include "aud_chk.h"

#include <stdlib.h>
#include <string.h>

int aud_chk__check_bool(const char *text, int32_t *value) {
  if (strcmp(text, "on") == 0 || strcmp(text, "ON") == 0) {
    *value = 1;
    return 0;
  }
  if (strcmp(text, "off") == 0 || strcmp(text, "OFF") == 0) {
    *value = 0;
    return 0;
  }
  return -1;
}

/* atoi has no defined result out of range; strtoll holds the ends, and so do we */
int32_t aud_chk__to_int(const char *text) {
  long long v = strtoll(text, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return (int32_t)v;
}
