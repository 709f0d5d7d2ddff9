/*
** log_msg.cpp - one record: lock and open (rotating when full), header,
** description, dump, close and unlock. A record that cannot be locked or
** opened is dropped.
*/
#include "log_msg.h"

#include "log_file.h"

void log_msg__log_message(const char *path, int kind, int message_level, const AuditInfo *settings,
                          int error_code, const char *process, const char *source, int line,
                          const char *description, const void *data, int length) {
  if (log_file__open_log_file(path, settings->max_file_size) != 0) return;
  log_file__write_header(kind, settings->level, message_level, process, source, line, error_code);
  log_file__write_description(description);
  if (length > 0) {
    /* a negative setting -N also limits the dump to N bytes */
    long long limit = -(long long)settings->hex_dumps;
    if (limit > 0 && length > limit) length = (int)limit;
    log_file__write_hex_dump(data, length, settings);
  }
  log_file__close_log_file();
}
