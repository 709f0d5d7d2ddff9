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

#endif /* VEZ_LOG_H */
