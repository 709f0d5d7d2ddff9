/*
** log_util_faulty.cpp - a stand-in for the settings tool's segment accessors
** that fails where VEZ_FAULT says, so that the tool's handling of a failed
** read or write can be seen from outside. It keeps the segment in memory and
** prints each write it is asked for on standard output.
**
** VEZ_FAULT: "attach", "peek_error", "peek_audit=N" (index N fails),
** "poke=K" (the K-th write, counted from 1, fails).
*/
#include "log_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

ErrorAuditSegment segment;
bool attached = false;
int pokes = 0;

bool fault(const char *name, int *arg = nullptr) {
  const char *f = getenv("VEZ_FAULT");
  size_t n = strlen(name);
  if (f == nullptr || strncmp(f, name, n) != 0) return false;
  if (arg != nullptr) *arg = f[n] == '=' ? atoi(f + n + 1) : -1;
  return true;
}

int poke_result() {
  int k = 0;
  pokes++;
  return fault("poke", &k) && pokes == k ? -2 : 0;
}

} // namespace

int log_util__init_error_audit(void) {
  attached = !fault("attach");
  return attached ? 0 : LOG_UTIL_NOT_ATTACHED;
}

int log_util__peek_error(ErrorInfo *dest) {
  if (!attached || fault("peek_error")) return LOG_UTIL_NOT_ATTACHED;
  *dest = segment.error;
  return 0;
}

int log_util__peek_audit(int index, AuditInfo *dest) {
  int bad = -1;
  if (!attached || (fault("peek_audit", &bad) && bad == index)) return LOG_UTIL_NOT_ATTACHED;
  *dest = segment.audit[index];
  return 0;
}

int log_util__poke_error(int field, const void *) {
  printf("poke_error %d\n", field);
  return attached ? poke_result() : LOG_UTIL_NOT_ATTACHED;
}

int log_util__poke_audit(int index, int field, const int32_t *) {
  printf("poke_audit %d %d\n", index, field);
  return attached ? poke_result() : LOG_UTIL_NOT_ATTACHED;
}

void log_util__shut_error_audit(void) { attached = false; }
