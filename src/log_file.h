/*
** log_file.h - one record's log file: opened under its lock (mended and
** rotated when full), and closed, the record stored whole, the lock
** released. The record's lines are log_line's; its bytes and what it met
** are the record in hand's (log_rec.h).
*/
#ifndef VEZ_LOG_FILE_H
#define VEZ_LOG_FILE_H

#include <stdint.h>
#include <time.h>

#include "log_rec.h"
#include "log_seal.h"

constexpr int LOG_FILE_LOCK_FAILED = -2;
constexpr int LOG_FILE_OPEN_FAILED = -3;
constexpr int LOG_FILE_WRITE_FAILED = -4;

/*
** Begins the record r for the log at path (which must outlive it): takes
** its lock, opens the log (created when missing) and rotates it when it is
** over max_size units of 512 bytes. 0; LOG_FILE_LOCK_FAILED (held by
** another process, or no room for the lock file's name);
** LOG_FILE_OPEN_FAILED (the lock is released again). After 0, the lines
** put into r make up one record, stored by log_file__close_log_file. A full
** log that cannot be moved aside is kept and written on (counted in
** r->rotation_failed, and reported). A record that the log's last writer
** left torn (it died inside its write) is cut back first, counted in
** r->mended; nothing else in a log is ever cut or added to (what someone
** who keeps no stamp wrote is left as it is). A link at the log's name is
** never written through: LOG_FILE_OPEN_FAILED.
*/
int log_file__open_log_file(log_record *r, const char *path, int max_size);
/* the same, the lock waited for wait milliseconds at most */
int log_file__open_log_file_waiting(log_record *r, const char *path, int max_size, uint32_t wait);

/*
** With the log open: torn records mended in it (by any writer, one killed
** since included) and not yet told there, and since when; 0 when none.
** log_file__tell_mends says that r tells them: once it is stored, they
** count as told.
*/
uint32_t log_file__untold_mends(time_t *since);
void log_file__tell_mends(log_record *r);

/* writes what is left of the record, closes the log and releases its lock:
   0, or LOG_FILE_WRITE_FAILED when the record could not be written whole (the log is
   then cut back to where it began) */
int log_file__close_log_file(log_record *r);

/*
** Where the chain of seals of the log at path ends, as a close records it:
** looked at under the log's lock (waited for wait milliseconds at most),
** once what a writer that died left is settled as the next writer would
** (a torn record cut back, a record left unsealed named). Nothing is made
** where no log is. 0; LOG_FILE_LOCK_FAILED (*held set where another holds
** it); LOG_FILE_OPEN_FAILED.
*/
struct log_file_chain {
  bool sealed; /* a chain is kept for the log */
  bool held;   /* its lock was held by another the whole time */
  uint64_t generation, seq;
  uint8_t tag[LOG_SEAL_KEY];
};
int log_file__settle(const char *path, uint32_t wait, log_file_chain *out);

#endif /* VEZ_LOG_FILE_H */
