/*
** log_file.h - one log record's file: open under the lock (rotating when
** full), header, description and hex dump lines, close and unlock.
*/
#ifndef VEZ_LOG_FILE_H
#define VEZ_LOG_FILE_H

#include "vezlog.h"

constexpr int LOG_FILE_LOCK_FAILED = -2;
constexpr int LOG_FILE_OPEN_FAILED = -3;
constexpr int LOG_FILE_WRITE_FAILED = -4;

/* characters of the description on one line, of a text dump line, bytes of a short hex dump */
constexpr int LOG_FILE_DESC_WIDTH = 70;
constexpr int LOG_FILE_TEXT_WIDTH = 75;
constexpr int LOG_FILE_SHORT_HEX_BYTES = 32;

/*
** Takes path's lock, opens the log (created when missing) and rotates it
** when it is over max_size units of 512 bytes, positioned at its end. 0;
** LOG_FILE_LOCK_FAILED (held by another process, or no room for the lock
** file's name); LOG_FILE_OPEN_FAILED (the lock is released again). After
** 0, the lines written below make up one record, stored by
** log_file__close_log_file. A full log that cannot be moved aside is kept
** and written on (counted as rotation_failed, and reported).
*/
int log_file__open_log_file(const char *path, int max_size);
/* the header line: kind 1 error, 0 audit or device message (the format is one) */
void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code);
/* "Desc:" and the description in lines of LOG_FILE_DESC_WIDTH characters; a line break
   in it starts a continuation line, never a line of its own */
void log_file__write_description(const char *description);
/* count bytes of data in the form settings->hex_dumps selects; nothing for count <= 0 */
void log_file__write_hex_dump(const void *data, int count, const AuditInfo *settings);
/* writes what is left of the record, closes the log and releases its lock:
   flsem__signal_file_lock_sem's result, or LOG_FILE_WRITE_FAILED when the
   record could not be written whole (the log is then cut back to where it began) */
int log_file__close_log_file(void);

#endif /* VEZ_LOG_FILE_H */
