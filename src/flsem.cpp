/*
** flsem.cpp - file lock. The lock is the open handle, not the file: taken
** by opening the ".lok" file without sharing, released by closing it, and
** dropped by the system when the holder dies. It is tried once; a writer
** that finds it held drops its record, unless "LOGLOCKWAIT" gives it some
** milliseconds to retry in. A process holds one lock at a time.
*/
#include "flsem.h"

#include "log.h"
#include "log_cfg.h"
#include "platform.h"
#include "vezlog.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\flsem";
HANDLE lock_f = INVALID_HANDLE_VALUE;

void report(int line, const char *message) { log__report_error(source, line, message, nullptr, 0); }

/* milliseconds a writer may retry a held lock: read once, at the first lock taken */
int32_t lock_wait() {
  static int32_t wait = -1;
  if (wait < 0) {
    int32_t configured = 0;
    if (!log_cfg__read_value("LOGLOCKWAIT", &configured, sizeof configured) || configured < 0)
      configured = 0;
    wait = configured;
  }
  return wait;
}

HANDLE open_exclusive(const char *lock_name) {
  return CreateFileA(lock_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

int flsem__wait_file_lock_sem(const char *lock_name) {
  if (lock_f != INVALID_HANDLE_VALUE) {
    report(195, "Cannot open multiple semaphore files");
    return FLSEM_ALREADY_HELD;
  }
  lock_f = open_exclusive(lock_name);
  DWORD error = GetLastError();
  if (lock_f == INVALID_HANDLE_VALUE && error == ERROR_SHARING_VIOLATION && lock_wait() > 0) {
    /* the non-waiting open again, until the time is up and never longer */
    DWORD start = GetTickCount();
    while (lock_f == INVALID_HANDLE_VALUE && error == ERROR_SHARING_VIOLATION &&
           GetTickCount() - start < (DWORD)lock_wait()) {
      Sleep(1);
      lock_f = open_exclusive(lock_name);
      error = GetLastError();
    }
  }
  if (lock_f != INVALID_HANDLE_VALUE) return 0;
  /* held by another open, or no lock file at all (its directory gone, no permission) */
  return error == ERROR_SHARING_VIOLATION ? FLSEM_HELD_ELSEWHERE : FLSEM_OPEN_FAILED;
}

bool flsem__lock_is_current(const char *lock_name) {
  return lock_f != INVALID_HANDLE_VALUE && VezHandleIsAtName(lock_f, lock_name);
}

int flsem__signal_file_lock_sem(void) {
  if (lock_f == INVALID_HANDLE_VALUE) {
    report(282, "Trying to release unallocated semaphore");
    return FLSEM_NOT_HELD;
  }
  if (!CloseHandle(lock_f)) {
    report(250, "Sempaphore unlock failed");
    return FLSEM_CLOSE_FAILED;
  }
  lock_f = INVALID_HANDLE_VALUE;
  if (*log__audit_level >= 15)
    log__log_audit(15, source, 246, "Released File Lock Semaphore", nullptr, 0);
  return 0;
}
