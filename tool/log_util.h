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

int log_util__init_error_audit(void);
int log_util__peek_error(ErrorInfo *dest);
int log_util__peek_audit(int index, AuditInfo *dest);
int log_util__poke_error(int field, const void *value);
int log_util__poke_audit(int index, int field, const int32_t *value);
void log_util__shut_error_audit(void);

#endif /* VEZ_LOG_UTIL_H */
