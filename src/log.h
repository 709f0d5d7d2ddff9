/*
** log.h - the library's initialisation and entry points (declared for the
** linking processes in vezlog.h), and the process name from the executable.
*/
#ifndef VEZ_LOG_H
#define VEZ_LOG_H

#include "vezlog.h"

/* room for a process name: 32 characters and a terminator */
constexpr int LOG_PROCNAME_SIZE = 33;

/*
** Fills *buffer (at least 33 zero bytes) with the executable's file name
** without directory and extension, at most 32 characters; "default" when
** the executable's path cannot be read.
*/
void getProcName(char **buffer);

/*
** How a module of the library reports its own failure: an error record
** with the module's source reference, made only while the error level in
** force is 1. Raised inside a record, it is dropped as nested.
*/
void log__report_error(const char *source, int line, const char *description, const void *data,
                       int length);

/*
** Closes the intervals of sealing that ended (log_close.h), covering this
** process's logs and the ones named, each log's lock waited for wait
** milliseconds at most; the last close is told in the error log. The
** close's result into *result where given. A timer's run: vezcat --seal.
*/
struct log_close_result;
int log__seal_intervals(const char *const *logs, int count, uint32_t wait,
                        log_close_result *result);

#endif /* VEZ_LOG_H */
