/*
** cli_report.cpp - the command-line programs' messages.
*/
#include "cli_report.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"

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

/* the words without the line end and full stop some systems put after them */
const char *trimmed(char *words) {
  size_t n = strlen(words);
  while (n > 0 && (words[n - 1] == '\n' || words[n - 1] == '\r' || words[n - 1] == ' ' ||
                   words[n - 1] == '.'))
    words[--n] = '\0';
  return words;
}

} // namespace

void cli_report__set_program(const char *name) {
  if (name != nullptr && name[0] != '\0') program = name;
}

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

void cli_report__print_usage(FILE *to, const char *usage) {
  const char *p = program;
  fprintf(to, usage, p, p, p, p, p);
}

int cli_report__usage(int status, const char *usage, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  say("", format, ap);
  va_end(ap);
  cli_report__print_usage(stderr, usage);
  return status;
}

const char *cli_report__system_reason(unsigned long code) {
  static char words[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     (DWORD)code, 0, words, sizeof words, nullptr) == 0)
    snprintf(words, sizeof words, "error %lu", code);
  return trimmed(words);
}

const char *cli_report__errno_reason(int e) {
  static char words[256];
  snprintf(words, sizeof words, "%s", strerror(e));
  return trimmed(words);
}

/* standard output written and flushed: CLI_OK, else said and CLI_FAILED */
int cli_report__printed(void) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return CLI_OK;
  return cli_report__fail(CLI_FAILED, "cannot write the output: %s",
                          cli_report__errno_reason(errno != 0 ? errno : EIO));
}

int cli_report__version(const char *name) {
  printf("%s (vezlog) %s\n", name, VEZ_VERSION);
  return cli_report__printed();
}

int cli_report__help(const char *text) {
  cli_report__print_usage(stdout, text);
  return cli_report__printed();
}
