/*
** log_file.h - one log record's file: open under the lock (rotating when
** full), header, description and hex dump lines, close and unlock.
*/
#ifndef VEZ_LOG_FILE_H
#define VEZ_LOG_FILE_H

#include "vezlog.h"

constexpr int LOG_FILE_LOCK_FAILED = -2;
constexpr int LOG_FILE_OPEN_FAILED = -3;

/* characters of the description on one line, of a text dump line, bytes of a short hex dump */
constexpr int LOG_FILE_DESC_WIDTH = 70;
constexpr int LOG_FILE_TEXT_WIDTH = 75;
constexpr int LOG_FILE_SHORT_HEX_BYTES = 32;

int log_file__open_log_file(const char *path, int max_size);
void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code);
void log_file__write_description(const char *description);
void log_file__write_hex_dump(const void *data, int count, const AuditInfo *settings);
int log_file__close_log_file(void);

#endif /* VEZ_LOG_FILE_H */
