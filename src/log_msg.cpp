/*
** log_msg.cpp - one record: lock and open (rotating when full), header,
** description, dump, close and unlock. A record that cannot be locked or
** opened is dropped, and counted.
*/
#include "log_msg.h"

#include "log.h"
#include "log_file.h"

log__drop_counts log_msg__drops = {0, 0, 0, 0, 0};

void log__get_drop_counts(log__drop_counts *counts) {
  /* the counters are the write path's: read them under its lock */
  log__lock_writes();
  *counts = log_msg__drops;
  log__unlock_writes();
}

void log_msg__log_message(const char *path, int kind, int message_level, const AuditInfo *settings,
                          int error_code, const char *process, const char *source, int line,
                          const char *description, const void *data, int length) {
  int rc = log_file__open_log_file(path, settings->max_file_size);
  if (rc != 0) {
    if (rc == LOG_FILE_LOCK_FAILED)
      log_msg__drops.lock_held++;
    else
      log_msg__drops.open_failed++;
    return;
  }
  log_file__write_header(kind, settings->level, message_level, process, source, line, error_code);
  log_file__write_description(description);
  if (length > 0) {
    /* a negative setting -N also limits the dump to N bytes */
    long long limit = -(long long)settings->hex_dumps;
    if (limit > 0 && length > limit) length = (int)limit;
    log_file__write_hex_dump(data, length, settings);
  }
  if (log_file__close_log_file() == LOG_FILE_WRITE_FAILED) log_msg__drops.write_failed++;
}
