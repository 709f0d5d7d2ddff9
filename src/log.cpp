/*
** log.cpp - stand-in for the logging entry points until the library's own
** arrive: the level pointers at their fallbacks, and records dropped.
*/
#include "vezlog.h"

static int32_t fallback_error_level = 1;
static int32_t fallback_audit_level = 0;

int32_t *log__error_level = &fallback_error_level;
int32_t *log__audit_level = &fallback_audit_level;

void log__init(const char *) {}
void log__init_error_audit(int, const char *) {}
void log__log_error(int, const char *, int, const char *, const void *, int) {}
void log__log_audit(int, const char *, int, const char *, const void *, int) {}
void log__log_devmsg(int, const char *, int, const char *, const void *, int) {}
void log__shut_error_audit(void) {}
