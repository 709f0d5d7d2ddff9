/*
** cli_report.h - how the command-line programs (aud, logmsg, vezreg,
** vezcat) speak to their user: every message is one line on standard
** error that begins with the program's name as it was called; a usage
** error says what was wrong and what was expected, then the usage line; a
** failure names its file and gives the system's own reason. And the one
** table of exit statuses (aud keeps the statuses of its own table).
*/
#ifndef VEZ_CLI_REPORT_H
#define VEZ_CLI_REPORT_H

#include <stdio.h>

/* exit statuses */
constexpr int CLI_OK = 0;     /* it worked (a reader that found nothing to show included) */
constexpr int CLI_FAILED = 1; /* something could not be done: a file, the output */
constexpr int CLI_USAGE = 2;  /* the command line was wrong: nothing was done */
/* vezcat's command line was wrong: journalctl's status for it, which vezcat's users expect */
constexpr int CLI_USAGE_READER = 1;

/* the name the lines begin with: the program's, as it was called */
void cli_report__set_program(const char *name);

/*
** "PROGRAM: MESSAGE" on standard error, the message formatted as printf
** does; returns status, so that a failing step ends with
** return cli_report__fail(STATUS, ...).
*/
int cli_report__fail(int status, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* "PROGRAM: warning: MESSAGE": something the operator should know, no failure */
void cli_report__warn(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* usage text, each %s in it (at most five) the program's name, on to */
void cli_report__print_usage(FILE *to, const char *usage);

/*
** A usage error: "PROGRAM: MESSAGE" (what was wrong, what was expected),
** then the usage text as cli_report__print_usage gives it, on standard
** error; returns status (CLI_USAGE, or aud's own).
*/
int cli_report__usage(int status, const char *usage, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* the system's own words for a Win32 error code, and for an errno value */
const char *cli_report__system_reason(unsigned long code);
const char *cli_report__errno_reason(int e);

/* standard output flushed: CLI_OK, or "cannot write the output" said with the system's
   reason and CLI_FAILED */
int cli_report__printed(void);

/* --version: "NAME (vezlog) VERSION" on standard output; CLI_OK, or CLI_FAILED when it
   could not be written */
int cli_report__version(const char *name);
/* --help: text (each %s the program's name) on standard output; the same statuses */
int cli_report__help(const char *text);

/* the process's drop counts, one line on standard error, as logmsg -c prints them
   (in cli_drops.cpp, for the programs that link the logging library) */
void cli_report__drop_counts(void);

#endif /* VEZ_CLI_REPORT_H */
