/*
** cli_report.h - how the command-line programs (aud, logmsg, vezreg) say
** what went wrong: one line on standard error that begins with the
** program's name, and an exit status that names the class of failure.
*/
#ifndef VEZ_CLI_REPORT_H
#define VEZ_CLI_REPORT_H

/* the name the lines begin with: the program's, as it was called */
void cli_report__set_program(const char *name);
const char *cli_report__program(void);

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

/* the process's drop counts, one line on standard error, as logmsg -c prints them
   (in cli_drops.cpp, for the programs that link the logging library) */
void cli_report__drop_counts(void);

#endif /* VEZ_CLI_REPORT_H */
