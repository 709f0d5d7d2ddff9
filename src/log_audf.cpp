/*
** log_audf.cpp - the audit log's path: by default each process has its own,
** named after the process.
*/
#include "log_audf.h"

void log_audf__get_audit_file_name(char dest[LOG_PATH_SIZE], const char *process) {
  static char static_filepath[LOG_PATH_SIZE];
  log_errf__cached_path(static_filepath, dest, "AUDITLOGFILE", process);
}
