/*
** log_audf.h - the audit log's path, worked out once per process.
*/
#ifndef VEZ_LOG_AUDF_H
#define VEZ_LOG_AUDF_H

#include "log_errf.h"

/* process names the file when "AUDITLOGFILE" is not configured; read on the first call only */
void log_audf__get_audit_file_name(char dest[LOG_PATH_SIZE], const char *process);

#endif /* VEZ_LOG_AUDF_H */
