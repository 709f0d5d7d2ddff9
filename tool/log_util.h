/*
** log_util.h - the settings tool's way into the shared settings segment:
** attach (creating the data file), copy records out, write single fields.
*/
#ifndef VEZ_LOG_UTIL_H
#define VEZ_LOG_UTIL_H

#include <stdint.h>

#include "vezlog.h"

/* results */
constexpr int LOG_UTIL_NOT_ATTACHED = -2;
constexpr int LOG_UTIL_BAD_INDEX = -3;
constexpr int LOG_UTIL_BAD_FIELD = -4;

/* field codes of the pokes */
constexpr int LOG_UTIL_HEX_DUMPS = 0;
constexpr int LOG_UTIL_LEVEL = 1;
constexpr int LOG_UTIL_MAX_FILE_SIZE = 2;
constexpr int LOG_UTIL_DEVICE = 3;       /* error settings only */
constexpr int LOG_UTIL_NOTIFICATION = 4; /* error settings only */

/* the target of log_util__poke_audit that means every process slot, 0 to 63 */
constexpr int LOG_UTIL_ALL_INDEXES = 64;

/*
** Maps the data file (creating it as 1052 zero bytes when it is missing) for
** the peeks and pokes: 0, or LOG_UTIL_NOT_ATTACHED. Every attach, failed or
** not, is undone by log_util__shut_error_audit.
*/
int log_util__init_error_audit(void);

/* copy the error record, or the AuditInfo of slot index 0 to 64, out of the segment:
   0, LOG_UTIL_NOT_ATTACHED or LOG_UTIL_BAD_INDEX */
int log_util__peek_error(ErrorInfo *dest);
int log_util__peek_audit(int index, AuditInfo *dest);

/*
** Write one field of the error record. value points to an int32_t for every
** field code but LOG_UTIL_DEVICE, for which it is a terminated text (at
** most 254 characters are kept). 0, LOG_UTIL_NOT_ATTACHED or
** LOG_UTIL_BAD_FIELD.
*/
int log_util__poke_error(int field, const void *value);

/*
** Write one field (LOG_UTIL_HEX_DUMPS, LOG_UTIL_LEVEL, LOG_UTIL_MAX_FILE_SIZE)
** of slot index 0 to 63, or of all of them with LOG_UTIL_ALL_INDEXES. 0,
** LOG_UTIL_NOT_ATTACHED, LOG_UTIL_BAD_INDEX or LOG_UTIL_BAD_FIELD.
*/
int log_util__poke_audit(int index, int field, const int32_t *value);

/* detaches what log_util__init_error_audit attached */
void log_util__shut_error_audit(void);

#endif /* VEZ_LOG_UTIL_H */
