/*
** log_chk.cpp - size limit and rotation. The check runs under the log's
** lock before each record, so a file can pass its limit by one record.
*/
#include "log_chk.h"

#include "flsem.h"
#include "platform.h"
#include "sys.h"

bool log_chk__derived_name(char name[LOG_CHK_NAME_SIZE], const char *path, const char *suffix) {
  memset(name, 0, LOG_CHK_NAME_SIZE);
  size_t p = strlen(path), s = strlen(suffix);
  if (p + s + 1 > (size_t)LOG_CHK_NAME_SIZE) return false;
  memcpy(name, path, p);
  memcpy(name + p, suffix, s);
  return true;
}

namespace {

/* the write path's, used under its lock: a streak of failed rotations is reported once, and
   only its first waits for the log's lock */
bool rename_failing = false;
bool lock_failing = false;
DWORD failure_code = 0;

} // namespace

uint32_t log_chk__failure_code(void) { return failure_code; }

int log_chk__check_log_file_size(const char *path, int fd, int max_size, long long size,
                                 bool sealed) {
  char old_name[LOG_CHK_NAME_SIZE];
  /* no ".old" name, no rotation: the log is never renamed onto itself or cut */
  if (!log_chk__derived_name(old_name, path, ".old")) return LOG_CHK_WITHIN_LIMIT;
  /* the limit in bytes is worked out wide, so no setting overflows it */
  long long limit = (long long)max_size * 512;
  /* a log of unknown length is rotated rather than let grow without bound */
  if (size >= 0 && size <= limit) {
    rename_failing = lock_failing = false; /* a streak ends where a log is within its limit */
    return LOG_CHK_WITHIN_LIMIT;
  }
  if (!VezLockOpenFile(fd, lock_failing ? 0 : flsem__lock_wait())) {
    failure_code = ERROR_LOCK_VIOLATION;
    if (lock_failing) return LOG_CHK_BUSY_AGAIN;
    lock_failing = true;
    return LOG_CHK_BUSY;
  }
  /* a log no longer at its name was moved aside by another writer: it is not moved again,
     and what now holds the name (a new, short log) never replaces the full old copy */
  VEZ_FILE_FACTS mine, named;
  if (VezFileFacts(fd, &mine) && (!VezFileFactsAtName(path, &named) ||
                                  named.volume != mine.volume || named.index != mine.index)) {
    sys__close(fd);
    return LOG_CHK_MOVED_ALREADY;
  }
  /* On Windows, one move that replaces the old copy, once the log is closed: a log held
     open by a program that does not share deletion cannot be moved, and then both stay as
     they are (the old copy is never removed unless the log takes its place) and the log is
     written on. Where files stay open (POSIX) a file nobody can hold is moved by its owner
     in its own directory: the old copy is removed first (a move onto an existing file
     makes some file systems, ext4, write the whole log out before it), and the log is
     moved while its own lock is held. A sealed log replaces its old copy in the one move:
     a writer that died between the two would leave a generation its seals name gone. */
  bool keep_open = VezKeepFilesOpen() != 0;
  if (!keep_open) sys__close(fd);
  if (keep_open && !sealed) _unlink(old_name);
  BOOL moved = MoveFileExA(path, old_name, MOVEFILE_REPLACE_EXISTING);
  DWORD why = GetLastError();
  if (keep_open) sys__close(fd);
  if (!moved) {
    failure_code = why;
    if (rename_failing) return LOG_CHK_RENAME_FAILING;
    rename_failing = true;
    return LOG_CHK_RENAME_FAILED;
  }
  rename_failing = lock_failing = false;
  return LOG_CHK_ROTATED;
}
