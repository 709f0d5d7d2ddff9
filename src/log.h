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
** As log__report_error for a failure met inside a record: kept (with at
** most LOG_DEFER_DATA_SIZE bytes of its data) and reported as a record of
** its own once the record in hand is done. A report raised while kept
** reports are being written is dropped as nested.
*/
constexpr int LOG_DEFER_DATA_SIZE = 260;

/* the lock of the write path, for what shares its state from outside it */
void log__lock_writes(void);
void log__unlock_writes(void);
/* the same, waited for at most wait milliseconds: whether it was had */
bool log__lock_writes_within(uint32_t wait);
/* whether this thread is inside a record of its own */
int log__writing(void);
void log__defer_error(const char *source, int line, const char *description, const void *data,
                      int length);

#endif /* VEZ_LOG_H */
