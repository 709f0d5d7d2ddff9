/*
** log_errf.h - the error log's path, worked out once per process.
*/
#ifndef VEZ_LOG_ERRF_H
#define VEZ_LOG_ERRF_H

/* room for a log path: at most 255 characters and a terminator */
constexpr int LOG_PATH_SIZE = 256;
/* room for a configured log file name: 14 characters and a terminator */
constexpr int LOG_FILE_NAME_SIZE = 15;

void log_errf__get_error_file_name(char dest[LOG_PATH_SIZE]);

/*
** Works out a log path into cache when it is still empty: "LOGPATH" (else
** the temporary directory), a separator, then the value named name_value
** (else fallback_name; with no name_value, always fallback_name). Then
** copies the cached path into dest. The lookups are this process's, or
** with program those of the process of that name (as a reader of its logs
** finds them).
*/
void log_errf__cached_path(char cache[LOG_PATH_SIZE], char dest[LOG_PATH_SIZE],
                           const char *name_value, const char *fallback_name,
                           const char *program = nullptr);

#endif /* VEZ_LOG_ERRF_H */
