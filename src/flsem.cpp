/*
** flsem.cpp - file lock. A writer that finds the lock held drops its
** record at once, unless "LOGLOCKWAIT" gives it some milliseconds to retry
** in. The lock ends, at the latest, when its holder dies. A process holds
** one lock at a time.
**
** Where files may stay open, a lock file is opened once and kept (in the
** table of files kept for its log), locked and unlocked for each record:
** two system calls, and the stamp in it is a mapping that costs none to
** read or write. A kept file no longer at its name (removed, replaced) is
** let go and the name opened again; a descriptor the host closed or reused
** is let go without a close.
** Elsewhere (Windows) the lock is the exclusive open of the lock file, for
** each record, and the stamp is mapped while it is held.
**
** The module returns codes and reports nothing itself: its caller writes
** records, and reports what it is told after the record in hand.
*/
#include "flsem.h"

#include "log_cfg.h"
#include "platform.h"
#include "vezlog.h"

namespace {

/* all of this is the write path's, used under its lock */
HANDLE lock_f = INVALID_HANDLE_VALUE; /* the lock held */
log_held *held = nullptr;             /* its kept files (none on Windows) */
void *held_stamp = nullptr;           /* the stamp while the lock is held */
/* the lock wait as last read: what the end of a process waits by before it may read it */
uint32_t last_wait = 0;

/* the stamp, the lock file's first bytes, mapped (the file grown to hold them) */
void *map_stamp(HANDLE file) {
  HANDLE mapping =
      CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, (DWORD)FLSEM_STAMP_SIZE, nullptr);
  if (mapping == nullptr) return nullptr;
  /* a lock file cut under the mapping reads as no stamp, never faults */
  static const flsem_stamp none = {};
  VezSetMappingFallback(mapping, &none, sizeof none);
  void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, FLSEM_STAMP_SIZE);
  CloseHandle(mapping);
  return view;
}

/*
** The kept files of this lock file, its lock file open and its stamp
** mapped; null where it cannot be opened. Nothing is looked at here: the
** writer looks at its log's descriptor once it holds the lock (a host that
** closes descriptors it does not own closes them all), and at the lock
** file's name where anything on its way changed (flsem__lock_is_current).
*/
log_held *kept_lock(const char *name) {
  log_held *k = log_held__find(name);
  if (k != nullptr && k->lock != INVALID_HANDLE_VALUE) {
    if (k->stamp != nullptr && VezViewLost(k->stamp)) {
      UnmapViewOfFile(k->stamp);
      k->stamp = nullptr;
    }
    if (k->stamp == nullptr) k->stamp = map_stamp(k->lock);
    return k;
  }
  if (strlen(name) >= (size_t)LOG_HELD_NAME_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE file = VezOpenKeptFile(name);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (k == nullptr) k = log_held__make(name);
  if (k == nullptr) {
    CloseHandle(file);
    return nullptr;
  }
  k->lock = file;
  k->stamp = map_stamp(file);
  return k;
}

HANDLE open_exclusive(const char *lock_name) {
  return CreateFileA(lock_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

/* one try: 0, or the system's code for why not */
DWORD try_lock(const char *lock_name, log_held *k) {
  if (k != nullptr) {
    OVERLAPPED whole = {};
    if (LockFileEx(k->lock, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole)) {
      lock_f = k->lock;
      return 0;
    }
    DWORD e = GetLastError();
    return e == ERROR_LOCK_VIOLATION ? ERROR_SHARING_VIOLATION : e;
  }
  lock_f = open_exclusive(lock_name);
  return lock_f != INVALID_HANDLE_VALUE ? 0 : GetLastError();
}

void nothing_held() {
  lock_f = INVALID_HANDLE_VALUE;
  held = nullptr;
  held_stamp = nullptr;
}

} // namespace

uint32_t flsem__lock_wait(void) {
  /* read where it is needed, so that an operator's change reaches running processes */
  int32_t configured = 0;
  if (!log_cfg__read_value("LOGLOCKWAIT", &configured, sizeof configured) || configured < 0)
    configured = 0;
  __atomic_store_n(&last_wait, (uint32_t)configured, __ATOMIC_RELAXED);
  return (uint32_t)configured;
}

uint32_t flsem__last_lock_wait(void) { return __atomic_load_n(&last_wait, __ATOMIC_RELAXED); }

int flsem__wait_file_lock_sem(const char *lock_name) {
  return flsem__take_file_lock(lock_name, FLSEM_WAIT_CONFIGURED);
}

int flsem__take_file_lock(const char *lock_name, uint32_t wait) {
  if (lock_f != INVALID_HANDLE_VALUE) return FLSEM_ALREADY_HELD;
  log_held *k = nullptr;
  if (VezKeepFilesOpen()) {
    k = kept_lock(lock_name);
    if (k == nullptr) return FLSEM_OPEN_FAILED;
  }
  DWORD error = try_lock(lock_name, k);
  /* held by another: the configured wait is read only now, where it is needed */
  if (error == ERROR_SHARING_VIOLATION && wait == FLSEM_WAIT_CONFIGURED) wait = flsem__lock_wait();
  if (error == ERROR_SHARING_VIOLATION && wait > 0 && wait != FLSEM_WAIT_CONFIGURED) {
    /* the non-waiting lock again, after short pauses, until the time is up and never longer */
    DWORD start = GetTickCount();
    for (int tries = 0; error == ERROR_SHARING_VIOLATION && GetTickCount() - start < wait;
         tries++) {
      Sleep(tries < 8 ? 0 : 1);
      error = try_lock(lock_name, k);
    }
  }
  if (error != 0) {
    nothing_held();
    /* held by another, or no lock file at all (its directory gone, no permission) */
    return error == ERROR_SHARING_VIOLATION ? FLSEM_HELD_ELSEWHERE : FLSEM_OPEN_FAILED;
  }
  held = k;
  held_stamp = k != nullptr ? k->stamp : map_stamp(lock_f);
  return 0;
}

bool flsem__lock_is_current(const char *lock_name) {
  return lock_f != INVALID_HANDLE_VALUE && VezHandleIsAtName(lock_f, lock_name);
}

void flsem__release_stale(void) {
  log_held *stale = held;
  flsem__signal_file_lock_sem();
  if (stale != nullptr) log_held__drop_lock(stale, true);
}

flsem_stamp *flsem__stamp(void) {
  return lock_f != INVALID_HANDLE_VALUE ? static_cast<flsem_stamp *>(held_stamp) : nullptr;
}

log_held *flsem__held(void) { return lock_f != INVALID_HANDLE_VALUE ? held : nullptr; }

void flsem__descriptors_taken(void) {
  /* the lock just taken may be on a file of the host's: it is given back before the
     descriptor is forgotten */
  if (held != nullptr) {
    OVERLAPPED whole = {};
    UnlockFileEx(lock_f, 0, MAXDWORD, MAXDWORD, &whole);
  }
  nothing_held();
  log_held__descriptors_taken();
}

int flsem__signal_file_lock_sem(void) {
  if (lock_f == INVALID_HANDLE_VALUE) return FLSEM_NOT_HELD;
  int rc = 0;
  if (held != nullptr) {
    OVERLAPPED whole = {};
    if (!UnlockFileEx(lock_f, 0, MAXDWORD, MAXDWORD, &whole)) {
      /* an unlock that fails leaves nothing held: the descriptor is no longer ours */
      log_held__descriptors_taken();
    }
  } else {
    if (held_stamp != nullptr) UnmapViewOfFile(held_stamp);
    /* a close that fails leaves nothing held either: the handle is gone all the same, and a
       lock kept would refuse every later record */
    if (!CloseHandle(lock_f)) rc = FLSEM_CLOSE_FAILED;
  }
  nothing_held();
  return rc;
}
