/*
** log_file.h - one log record's file: open under the lock (rotating when
** full), header, description and hex dump lines, close and unlock. The
** record format's widths and markers are log_format.h's.
*/
#ifndef VEZ_LOG_FILE_H
#define VEZ_LOG_FILE_H

#include <stdint.h>
#include <time.h>

#include "vezlog.h"

constexpr int LOG_FILE_LOCK_FAILED = -2;
constexpr int LOG_FILE_OPEN_FAILED = -3;
constexpr int LOG_FILE_WRITE_FAILED = -4;

/*
** Takes path's lock, opens the log (created when missing) and rotates it
** when it is over max_size units of 512 bytes. 0; LOG_FILE_LOCK_FAILED
** (held by another process, or no room for the lock file's name);
** LOG_FILE_OPEN_FAILED (the lock is released again). After 0, the lines
** written below make up one record, stored by log_file__close_log_file. A
** full log that cannot be moved aside is kept and written on (counted as
** rotation_failed, and reported). A record that the log's last writer
** left torn (it died inside its write) is cut back first, and a log that
** someone who keeps no stamp left without a line end has its line ended:
** either is counted as mended. Nothing else in a log is ever cut.
*/
int log_file__open_log_file(const char *path, int max_size);
/* the same, the lock waited for wait milliseconds at most */
int log_file__open_log_file_waiting(const char *path, int max_size, uint32_t wait);
/* the header line: kind 1 error, 0 audit or device message (the format is one) */
void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code);
/* "Desc:" and the description in lines of LOG_FORMAT_DESC_WIDTH characters; a line break
   in it starts a continuation line, never a line of its own */
void log_file__write_description(const char *description);
/* count bytes of data in the form settings->hex_dumps selects; nothing for count <= 0 */
void log_file__write_hex_dump(const void *data, int count, const AuditInfo *settings);

/*
** With the log open: torn records mended in it (by any writer, one killed
** since included) and not yet told there, and since when; 0 when none.
** log_file__tell_mends says that the record in hand tells them: once it is
** stored, they count as told.
*/
uint32_t log_file__untold_mends(time_t *since);
void log_file__tell_mends(void);

/* writes what is left of the record, closes the log and releases its lock:
   flsem__signal_file_lock_sem's result, or LOG_FILE_WRITE_FAILED when the
   record could not be written whole (the log is then cut back to where it began) */
int log_file__close_log_file(void);

#endif /* VEZ_LOG_FILE_H */
