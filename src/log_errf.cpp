/*
** log_errf.cpp - log file naming. A path is the "LOGPATH" directory (else
** the temporary directory), a separator and a file name; it is worked out
** on a function's first call and handed out from its cache from then on.
*/
#include "log_errf.h"

#include "log_cfg.h"
#include "platform.h"

void log_errf__cached_path(char cache[LOG_PATH_SIZE], char dest[LOG_PATH_SIZE],
                           const char *name_value, const char *fallback_name, const char *program) {
  if (cache[0] == '\0') {
    /* a directory that leaves no room for the separator is taken as not configured */
    char dir[LOG_PATH_SIZE];
    if (!log_cfg__read_text_for(program, "LOGPATH", dir, LOG_PATH_SIZE) ||
        strlen(dir) >= (size_t)LOG_PATH_SIZE - 1) {
      char tmp[MAX_PATH];
      DWORD n = GetTempPathA(sizeof tmp, tmp);
      if (n == 0 || n >= (DWORD)LOG_PATH_SIZE - 1) strcpy(tmp, "." VEZ_DIRSEP);
      strcpy(dir, tmp);
    }
    char name[LOG_PATH_SIZE];
    if (name_value == nullptr ||
        !log_cfg__read_text_for(program, name_value, name, LOG_FILE_NAME_SIZE)) {
      strncpy(name, fallback_name, sizeof name - 1);
      name[sizeof name - 1] = '\0';
    }
    /* every piece whole or not at all: a name that does not fit is left off */
    char path[LOG_PATH_SIZE] = "";
    log_cfg__append_piece(path, LOG_PATH_SIZE, dir);
    log_cfg__append_piece(path, LOG_PATH_SIZE, VEZ_DIRSEP);
    log_cfg__append_piece(path, LOG_PATH_SIZE, name);
    memcpy(cache, path, LOG_PATH_SIZE);
  }
  memcpy(dest, cache, LOG_PATH_SIZE);
  dest[LOG_PATH_SIZE - 1] = '\0';
}

void log_errf__get_error_file_name(char dest[LOG_PATH_SIZE]) {
  static char static_filepath[LOG_PATH_SIZE];
  log_errf__cached_path(static_filepath, dest, "ERRORLOGFILE", "error");
}
