/*
** log_errf.cpp - log file naming. A path is the "LOGPATH" directory (else
** the temporary directory), a separator and a file name; it is worked out
** on a function's first call and handed out from its cache from then on.
*/
#include "log_errf.h"

#include "log_cfg.h"
#include "platform.h"

void log_errf__cached_path(char cache[LOG_PATH_SIZE], char dest[LOG_PATH_SIZE],
                           const char *name_value, const char *fallback_name) {
  if (cache[0] == '\0') {
    char tmp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    if (n == 0 || n >= (DWORD)LOG_PATH_SIZE) strcpy(tmp, "." VEZ_DIRSEP);
    /* a directory that leaves no room for the separator is taken as not configured */
    if (!log_cfg__read_text("LOGPATH", cache, LOG_PATH_SIZE) ||
        strlen(cache) >= (size_t)LOG_PATH_SIZE - 1)
      strcpy(cache, tmp);
    strcat(cache, VEZ_DIRSEP);
    char name[LOG_PATH_SIZE];
    if (name_value == nullptr || !log_cfg__read_text(name_value, name, LOG_FILE_NAME_SIZE)) {
      strncpy(name, fallback_name, sizeof name - 1);
      name[sizeof name - 1] = '\0';
    }
    log_cfg__append_piece(cache, LOG_PATH_SIZE, name);
  }
  strncpy(dest, cache, LOG_PATH_SIZE);
  dest[LOG_PATH_SIZE - 1] = '\0';
}

void log_errf__get_error_file_name(char dest[LOG_PATH_SIZE]) {
  static char static_filepath[LOG_PATH_SIZE];
  log_errf__cached_path(static_filepath, dest, "ERRORLOGFILE", "error");
}
