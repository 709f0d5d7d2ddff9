/*
** cli_report.cpp - the command-line programs' messages on standard error.
*/
#include "cli_report.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

const char *program = "vezlog";

void say(const char *kind, const char *format, va_list ap) {
  /* one line, written whole, so that the lines of programs run together do not mix */
  char line[1024];
  int n = snprintf(line, sizeof line, "%s: %s", program, kind);
  if (n < 0 || n >= (int)sizeof line) n = 0;
  vsnprintf(line + n, sizeof line - (size_t)n, format, ap);
  fprintf(stderr, "%s\n", line);
}

} // namespace

void cli_report__set_program(const char *name) {
  if (name != nullptr && name[0] != '\0') program = name;
}

const char *cli_report__program(void) { return program; }

int cli_report__fail(int status, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  say("", format, ap);
  va_end(ap);
  return status;
}

void cli_report__warn(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  say("warning: ", format, ap);
  va_end(ap);
}
