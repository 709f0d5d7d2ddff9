/*
** log_sidemv.h - a log's seals follow it to its old copy's name: the
** sidecar at the log's sidecar name moved aside after a rotation, by way of
** ".seal.moving" (one mover gets it), and one left on the way by a mover
** that died settled by whoever finds it. Works on names only: no sidecar
** of these is open while it is moved.
*/
#ifndef VEZ_LOG_SIDEMV_H
#define VEZ_LOG_SIDEMV_H

#include <stdint.h>

#include "log_chk.h"
#include "platform.h"

/* the sidecar name of the log at path, or of its old copy; false where it does not fit */
bool log_sidemv__name(char name[LOG_CHK_NAME_SIZE], const char *path, bool old);

/* the log a sidecar says it seals; false where it is no sidecar (or one begun) */
bool log_sidemv__owner(const char *name, uint64_t *volume, uint64_t *index);

/* whether the file at the log's name with suffix is the one of identity id */
bool log_sidemv__file_is(const char *path, const char *suffix, const VEZ_FILE_FACTS &id);

/*
** A sidecar taken off its name on its way to the old copy's name put where
** the log it seals is: beside the old copy, back at its name (the log's),
** or away (its log is gone).
*/
void log_sidemv__settle(const char *path);

/*
** The sidecar at the log's name moved aside to the old copy's name, after
** a rotation (or where it seals another log than the one at the name). It
** is taken off its name first (one mover gets it) and then put where the
** log it seals is: where a lock file was removed, another writer may have
** moved it already and begun the new log's in between.
*/
void log_sidemv__move(const char *path);

/*
** Where the seals of the log id are, now that it was moved aside to the
** old copy's name: beside it, or still on their way there; false where it
** is not the old copy.
*/
bool log_sidemv__moved_with(const char *path, const VEZ_FILE_FACTS &id,
                            char name[LOG_CHK_NAME_SIZE]);

#endif /* VEZ_LOG_SIDEMV_H */
