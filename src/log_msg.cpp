/*
** log_msg.cpp - one record: lock and open (rotating when full), header,
** description, dump, close and unlock. A record that cannot be locked or
** opened is dropped, and counted.
**
** Losses are told where operators read: once a record of this process gets
** through after it lost some, a record of its own goes before it, in the
** same write, with the counts by cause since the first loss not yet told.
** The counts stay untold until such a record is stored. Torn records
** mended in a log are told there too, whichever writer mended them. A
** process that ends with records lost and untold writes that record alone
** as it exits. A notification device that keeps refusing notices is told
** once while it refuses them (each notice lost is counted all the same).
*/
#include "log_msg.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "flsem.h"
#include "log_file.h"
#include "log_line.h"
#include "platform.h"
#include "timelib.h"

log__drop_counts log_msg__drops = {0, 0, 0, 0, 0, 0, 0};

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\log_msg";
constexpr int LOSS_DESC_SIZE = 256;
constexpr int LOG_PATH_ROOM = 260;
constexpr int PROCESS_ROOM = 33;

/* all of this is the write path's, used under its lock */
log__drop_counts told = {0, 0, 0, 0, 0, 0, 0}; /* the counts as of the last loss record */
time_t first_untold = 0;                       /* when the first loss not yet told happened */
bool notices_said = false; /* lost notices told once while the device keeps refusing them */
DWORD counted_forks = 0;   /* the fork count under which the counts were kept */

/* the log of the last record, kept or dropped: where the losses are told at exit */
struct last_log {
  bool known;
  char path[LOG_PATH_ROOM];
  int message_level;
  AuditInfo settings;
  char process[PROCESS_ROOM];
};
last_log last = {};

/* a fork's child does not tell its parent's losses: the parent does */
void own_counts_only() {
  DWORD forks = VezForkCount();
  if (forks == counted_forks) return;
  counted_forks = forks;
  told = log_msg__drops;
  first_untold = 0;
}

/* the loss record's description, or false when there is nothing to tell */
bool untold_losses(char desc[LOSS_DESC_SIZE], uint32_t mends, time_t mends_since,
                   log__drop_counts *as_told, bool records_only) {
  struct cause {
    const char *name;
    uint32_t now, then;
    bool records; /* records were lost (not only notices) */
  };
  const log__drop_counts &d = log_msg__drops;
  *as_told = d;
  /* a device that keeps refusing notices is told of once, not before every record */
  uint32_t notices = d.notices_lost;
  if (notices != told.notices_lost && notices_said) {
    notices = told.notices_lost;
    as_told->notices_lost = told.notices_lost;
  }
  const cause causes[] = {{"lock_held", d.lock_held, told.lock_held, true},
                          {"open_failed", d.open_failed, told.open_failed, true},
                          {"write_failed", d.write_failed, told.write_failed, true},
                          {"mended", mends, 0, true},
                          {"notices_lost", notices, told.notices_lost, false}};
  bool any = false;
  for (const cause &c : causes)
    any = any || (c.now != c.then && (c.records || !records_only));
  if (!any) return false;
  time_t since = first_untold;
  if (mends > 0 && (since == 0 || (mends_since != 0 && mends_since < since))) since = mends_since;
  struct tm when;
  memset(&when, 0, sizeof when);
  localtime_s(&when, &since);
  int len = snprintf(desc, LOSS_DESC_SIZE,
                     "Records lost since %02d/%02d %02d:%02d:%02d:", when.tm_mon + 1, when.tm_mday,
                     when.tm_hour, when.tm_min, when.tm_sec);
  for (const cause &c : causes) {
    if (c.now == c.then || len < 0 || len >= LOSS_DESC_SIZE) continue;
    len += snprintf(desc + len, (size_t)(LOSS_DESC_SIZE - len), " %s %lu", c.name,
                    (unsigned long)(c.now - c.then));
  }
  return true;
}

void all_told(const log__drop_counts &as_told) {
  if (as_told.notices_lost != told.notices_lost) notices_said = true;
  uint32_t nested = told.nested;
  told = as_told;
  told.nested = nested;
  first_untold = 0;
}

/* text, cut to fit room, terminated */
void copy_text(char *to, size_t room, const char *from) {
  size_t n = from == nullptr ? 0 : strnlen(from, room - 1);
  memcpy(to, from, n);
  to[n] = '\0';
}

void remember(const char *path, int message_level, const AuditInfo *settings, const char *process) {
  last.known = true;
  copy_text(last.path, sizeof last.path, path);
  last.message_level = message_level;
  last.settings = *settings;
  copy_text(last.process, sizeof last.process, process);
}

/* what a record met, counted for the process */
void count_met(const log_record &r) {
  log_msg__drops.mended += r.mended;
  log_msg__drops.rotation_failed += r.rotation_failed;
  log_msg__drops.nested += r.nested;
}

/*
** The record itself, or with losses_only the loss record alone (a process
** at its end, waiting wait milliseconds for the lock): its losses first,
** with the record's own level so that it passes the same filters. What it
** met that is to be reported after it: LOG_REC_SAID_ bits.
*/
uint32_t write_record(const char *path, int message_level, const AuditInfo *settings,
                      int error_code, const char *process, const char *source_file, int line,
                      const char *description, const void *data, int length, bool losses_only,
                      uint32_t wait, log_msg_settings_now settings_now) {
  own_counts_only();
  log_record r;
  int rc = losses_only ? log_file__open_log_file_waiting(&r, path, settings->max_file_size, wait)
                       : log_file__open_log_file(&r, path, settings->max_file_size);
  if (rc != 0) {
    count_met(r);
    if (!losses_only)
      log_msg__lost(rc == LOG_FILE_LOCK_FAILED ? &log_msg__drops.lock_held
                                               : &log_msg__drops.open_failed);
    return r.said;
  }
  /* the settings as they are now that the log is locked: where the record is no longer to
     be written, the lock is given back untouched */
  AuditInfo fresh;
  if (settings_now != nullptr) {
    fresh = *settings;
    if (!settings_now(message_level, &fresh)) {
      log_file__close_log_file(&r);
      count_met(r);
      return r.said;
    }
    settings = &fresh;
  }
  /* what the open met is counted before the loss record tells the counts */
  count_met(r);
  r.mended = r.rotation_failed = r.nested = 0;
  char losses[LOSS_DESC_SIZE];
  time_t mends_since = 0;
  uint32_t mends = log_file__untold_mends(&mends_since);
  log__drop_counts as_told;
  /* at the end of a process, lost notices alone are no record of their own */
  bool telling = untold_losses(losses, mends, mends_since, &as_told, losses_only);
  if (telling) {
    log_line__header(&r, settings->level, message_level, process, source, 60, 0);
    log_line__description(&r, losses);
    if (mends > 0) log_file__tell_mends(&r);
  }
  if (!losses_only) {
    log_line__header(&r, settings->level, message_level, process, source_file, line, error_code);
    log_line__description(&r, description);
    if (length > 0) {
      /* a negative setting -N also limits the dump to N bytes */
      long long limit = -(long long)settings->hex_dumps;
      if (limit > 0 && length > limit) length = (int)limit;
      log_line__hex_dump(&r, data, length, settings->hex_dumps);
    }
  }
  bool failed = log_file__close_log_file(&r) == LOG_FILE_WRITE_FAILED;
  count_met(r);
  if (failed) {
    if (!losses_only) log_msg__lost(&log_msg__drops.write_failed);
  } else if (telling) {
    all_told(as_told);
  }
  return r.said;
}

} // namespace

void log_msg__lost(uint32_t *counter) {
  own_counts_only();
  (*counter)++;
  if (first_untold == 0) first_untold = timelib__get_unix_time();
}

bool log_msg__losses_untold(void) {
  own_counts_only();
  return first_untold != 0 && last.known;
}

uint32_t log_msg__tell_losses(uint32_t wait) {
  if (!last.known) return 0;
  return write_record(last.path, last.message_level, &last.settings, 0, last.process, nullptr, 0,
                      nullptr, nullptr, 0, true, wait, nullptr);
}

void log_msg__notice_delivered(void) { notices_said = false; }

void log_msg__notice_absent(void) {
  own_counts_only();
  log_msg__drops.notices_lost++;
  told.notices_lost++;
}

uint32_t log_msg__log_message(const char *path, int kind, int message_level,
                              const AuditInfo *settings, int error_code, const char *process,
                              const char *source_file, int line, const char *description,
                              const void *data, int length, log_msg_settings_now settings_now) {
  (void)kind; /* the format is the same for every log */
  remember(path, message_level, settings, process);
  return write_record(path, message_level, settings, error_code, process, source_file, line,
                      description, data, length, false, 0, settings_now);
}
