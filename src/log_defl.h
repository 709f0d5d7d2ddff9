/*
** log_defl.h - built-in default settings of a record; the first three
** fields of ErrorInfo and AuditInfo mean the same and take the same values.
*/
#ifndef VEZ_LOG_DEFL_H
#define VEZ_LOG_DEFL_H

#include "vez_defaults.h"

constexpr int LOG_DEFL_FILE_SIZE = VEZ_DEFAULT_FILE_SIZE;

template <typename Record>
Record *log_defl__set_default_log_info(Record *record, int level, int hex_dumps) {
  record->hex_dumps = hex_dumps;
  record->level = level;
  record->max_file_size = LOG_DEFL_FILE_SIZE;
  return record;
}

#endif /* VEZ_LOG_DEFL_H */
