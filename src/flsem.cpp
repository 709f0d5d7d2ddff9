/*
** flsem.cpp - file lock. A writer that finds the lock held drops its
** record at once, unless "LOGLOCKWAIT" gives it some milliseconds to retry
** in. The lock ends, at the latest, when its holder dies. A process holds
** one lock at a time.
**
** Where files may stay open, a lock file is opened once and kept (a few of
** them, the logs a process writes), locked and unlocked for each record:
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

constexpr int LOCK_NAME_SIZE = 260;
/* lock files kept open: a process writes an error log, its audit log and the
   device-message log, and seldom more */
constexpr int KEPT_LOCKS = 4;

struct kept_lock {
  char name[LOCK_NAME_SIZE];
  HANDLE file = INVALID_HANDLE_VALUE;
  void *stamp = nullptr;
  DWORD forks = 0; /* the fork count it was opened under */
  unsigned long used = 0;
};

/* all of this is the write path's, used under its lock */
kept_lock kept[KEPT_LOCKS];
unsigned long uses = 0;
HANDLE lock_f = INVALID_HANDLE_VALUE; /* the lock held */
kept_lock *held = nullptr;            /* its kept file (none on Windows) */
void *held_stamp = nullptr;           /* the stamp while the lock is held */
uint32_t descriptors_lost = 0;

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

void unmap_stamp(void **stamp) {
  if (*stamp != nullptr) UnmapViewOfFile(*stamp);
  *stamp = nullptr;
}

/* closed (its file is no longer at its name), or forgotten (no longer ours to close) */
void let_go(kept_lock &k, bool ours) {
  unmap_stamp(&k.stamp);
  if (ours)
    CloseHandle(k.file);
  else
    VezForgetHandle(k.file);
  k.file = INVALID_HANDLE_VALUE;
  k.name[0] = '\0';
}

/* every kept lock file let go, none closed: their descriptors are the host's now */
void lose_all() {
  descriptors_lost++;
  for (kept_lock &k : kept)
    if (k.file != INVALID_HANDLE_VALUE) let_go(k, false);
}

/*
** The kept lock file of this name, or null. Nothing is looked at here: the
** writer looks at its log's descriptor once it holds the lock (a host that
** closes descriptors it does not own closes them all), and at the lock
** file's name where anything on its way changed (flsem__lock_is_current).
*/
kept_lock *kept_for(const char *name) {
  static DWORD lost_seen = 0;
  if (VezDescriptorsLost() != lost_seen) {
    lost_seen = VezDescriptorsLost();
    lose_all();
    return nullptr;
  }
  for (kept_lock &k : kept) {
    if (k.file == INVALID_HANDLE_VALUE || strcmp(k.name, name) != 0) continue;
    /* a fork's child has its parent's open file: a lock on it would be its parent's too */
    if (k.forks != VezForkCount()) {
      let_go(k, true);
      return nullptr;
    }
    if (k.stamp != nullptr && VezViewLost(k.stamp)) unmap_stamp(&k.stamp);
    if (k.stamp == nullptr) k.stamp = map_stamp(k.file);
    k.used = ++uses;
    return &k;
  }
  return nullptr;
}

kept_lock *open_kept(const char *name) {
  if (strlen(name) >= (size_t)LOCK_NAME_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HANDLE file = VezOpenKeptFile(name);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  kept_lock *slot = &kept[0];
  for (kept_lock &k : kept) {
    if (k.file == INVALID_HANDLE_VALUE) {
      slot = &k;
      break;
    }
    if (k.used < slot->used) slot = &k;
  }
  if (slot->file != INVALID_HANDLE_VALUE) let_go(*slot, true);
  slot->file = file;
  strcpy(slot->name, name);
  slot->forks = VezForkCount();
  slot->stamp = map_stamp(file);
  slot->used = ++uses;
  return slot;
}

HANDLE open_exclusive(const char *lock_name) {
  return CreateFileA(lock_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

/* one try: 0, or the system's code for why not */
DWORD try_lock(const char *lock_name, kept_lock *k) {
  if (k != nullptr) {
    OVERLAPPED whole = {};
    if (LockFileEx(k->file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                   MAXDWORD, &whole)) {
      lock_f = k->file;
      return 0;
    }
    DWORD e = GetLastError();
    return e == ERROR_LOCK_VIOLATION ? ERROR_SHARING_VIOLATION : e;
  }
  lock_f = open_exclusive(lock_name);
  return lock_f != INVALID_HANDLE_VALUE ? 0 : GetLastError();
}

} // namespace

uint32_t flsem__lock_wait(void) {
  /* read once, at the first lock taken */
  static int32_t wait = -1;
  if (wait < 0) {
    int32_t configured = 0;
    if (!log_cfg__read_value("LOGLOCKWAIT", &configured, sizeof configured) || configured < 0)
      configured = 0;
    wait = configured;
  }
  return (uint32_t)wait;
}

int flsem__wait_file_lock_sem(const char *lock_name) {
  return flsem__take_file_lock(lock_name, flsem__lock_wait());
}

int flsem__take_file_lock(const char *lock_name, uint32_t wait) {
  if (lock_f != INVALID_HANDLE_VALUE) return FLSEM_ALREADY_HELD;
  kept_lock *k = nullptr;
  if (VezKeepFilesOpen()) {
    k = kept_for(lock_name);
    if (k == nullptr) k = open_kept(lock_name);
    if (k == nullptr) return FLSEM_OPEN_FAILED;
  }
  DWORD error = try_lock(lock_name, k);
  if (error == ERROR_SHARING_VIOLATION && wait > 0) {
    /* the non-waiting lock again, after short pauses, until the time is up and never longer */
    DWORD start = GetTickCount();
    for (int tries = 0; error == ERROR_SHARING_VIOLATION && GetTickCount() - start < wait;
         tries++) {
      Sleep(tries < 8 ? 0 : 1);
      error = try_lock(lock_name, k);
    }
  }
  if (error != 0) {
    lock_f = INVALID_HANDLE_VALUE;
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
  kept_lock *stale = held;
  flsem__signal_file_lock_sem();
  if (stale != nullptr && stale->file != INVALID_HANDLE_VALUE) let_go(*stale, true);
}

flsem_stamp *flsem__stamp(void) {
  return lock_f != INVALID_HANDLE_VALUE ? static_cast<flsem_stamp *>(held_stamp) : nullptr;
}

uint32_t flsem__descriptors_lost(void) { return descriptors_lost; }

void flsem__descriptors_taken(void) {
  /* the lock just taken may be on a file of the host's: it is given back before the
     descriptor is forgotten */
  if (held != nullptr) {
    OVERLAPPED whole = {};
    UnlockFileEx(lock_f, 0, MAXDWORD, MAXDWORD, &whole);
  }
  lock_f = INVALID_HANDLE_VALUE;
  held = nullptr;
  held_stamp = nullptr;
  lose_all();
}

int flsem__signal_file_lock_sem(void) {
  if (lock_f == INVALID_HANDLE_VALUE) return FLSEM_NOT_HELD;
  if (held != nullptr) {
    OVERLAPPED whole = {};
    if (!UnlockFileEx(lock_f, 0, MAXDWORD, MAXDWORD, &whole)) {
      /* an unlock that fails leaves nothing held: the descriptor is no longer ours */
      descriptors_lost++;
      let_go(*held, false);
    }
  } else {
    unmap_stamp(&held_stamp);
    if (!CloseHandle(lock_f)) return FLSEM_CLOSE_FAILED;
  }
  lock_f = INVALID_HANDLE_VALUE;
  held = nullptr;
  held_stamp = nullptr;
  return 0;
}
