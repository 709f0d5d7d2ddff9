/*
** log_msg.cpp - one record: lock and open (rotating when full), header,
** description, dump, close and unlock. A record that cannot be locked or
** opened is dropped, and counted.
**
** Losses are told where operators read: once a record of this process gets
** through after it lost some, a record of its own goes before it, in the
** same write, with the counts by cause since the first loss not yet told.
** The counts stay untold until such a record is stored.
*/
#include "log_msg.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "log.h"
#include "log_file.h"
#include "timelib.h"

log__drop_counts log_msg__drops = {0, 0, 0, 0, 0, 0, 0};

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\log_msg";
constexpr int LOSS_DESC_SIZE = 256;

log__drop_counts told = {0, 0, 0, 0, 0, 0, 0}; /* the counts as of the last loss record */
time_t first_untold = 0;                       /* when the first loss not yet told happened */

/* the loss record's description, or false when there is nothing to tell */
bool untold_losses(char desc[LOSS_DESC_SIZE]) {
  struct cause {
    const char *name;
    uint32_t now, then;
  };
  const log__drop_counts &d = log_msg__drops;
  const cause causes[] = {{"lock_held", d.lock_held, told.lock_held},
                          {"open_failed", d.open_failed, told.open_failed},
                          {"write_failed", d.write_failed, told.write_failed},
                          {"mended", d.mended, told.mended},
                          {"notices_lost", d.notices_lost, told.notices_lost}};
  struct tm when;
  memset(&when, 0, sizeof when);
  struct tm *t = localtime(&first_untold);
  if (t != nullptr) when = *t;
  int len = snprintf(desc, LOSS_DESC_SIZE,
                     "Records lost since %02d/%02d %02d:%02d:%02d:", when.tm_mon + 1, when.tm_mday,
                     when.tm_hour, when.tm_min, when.tm_sec);
  bool any = false;
  for (const cause &c : causes) {
    if (c.now == c.then || len < 0 || len >= LOSS_DESC_SIZE) continue;
    any = true;
    len += snprintf(desc + len, (size_t)(LOSS_DESC_SIZE - len), " %s %lu", c.name,
                    (unsigned long)(c.now - c.then));
  }
  return any;
}

void all_told(const log__drop_counts &as_told) {
  uint32_t nested = told.nested;
  told = as_told;
  told.nested = nested;
  first_untold = 0;
}

} // namespace

void log_msg__lost(uint32_t *counter) {
  (*counter)++;
  if (first_untold == 0) first_untold = timelib__get_unix_time();
}

void log__get_drop_counts(log__drop_counts *counts) {
  if (counts == nullptr) return;
  /* the counters are the write path's: read them under its lock */
  log__lock_writes();
  *counts = log_msg__drops;
  log__unlock_writes();
}

void log_msg__log_message(const char *path, int kind, int message_level, const AuditInfo *settings,
                          int error_code, const char *process, const char *source_file, int line,
                          const char *description, const void *data, int length) {
  int rc = log_file__open_log_file(path, settings->max_file_size);
  if (rc != 0) {
    log_msg__lost(rc == LOG_FILE_LOCK_FAILED ? &log_msg__drops.lock_held
                                             : &log_msg__drops.open_failed);
    return;
  }
  /* what was lost goes first, with the record's own level so that it passes the same filters */
  char losses[LOSS_DESC_SIZE];
  bool telling = untold_losses(losses);
  const log__drop_counts as_told = log_msg__drops;
  if (telling) {
    log_file__write_header(kind, settings->level, message_level, process, source, 60, 0);
    log_file__write_description(losses);
  }
  log_file__write_header(kind, settings->level, message_level, process, source_file, line,
                         error_code);
  log_file__write_description(description);
  if (length > 0) {
    /* a negative setting -N also limits the dump to N bytes */
    long long limit = -(long long)settings->hex_dumps;
    if (limit > 0 && length > limit) length = (int)limit;
    log_file__write_hex_dump(data, length, settings);
  }
  if (log_file__close_log_file() == LOG_FILE_WRITE_FAILED)
    log_msg__lost(&log_msg__drops.write_failed);
  else if (telling)
    all_told(as_told);
}
