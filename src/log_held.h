/*
** log_held.h - the files a writer keeps open for a log between records,
** where files may stay open (POSIX): its lock file with the stamp mapped,
** the log itself and its seals' sidecar, in one table of a few logs, the
** least recently used let go for a new one. Entries are known by their
** lock file's name.
**
** Nothing kept is trusted blindly: a fork's child lets go of what its
** parent opened (a lock on it would be the parent's too), and where the
** host program was found to have closed or reused descriptors it does not
** own, every entry is forgotten without a close (their numbers may be the
** host's files now). The table is the write path's, used under its lock.
*/
#ifndef VEZ_LOG_HELD_H
#define VEZ_LOG_HELD_H

#include <stdint.h>

#include "platform.h"

constexpr int LOG_HELD_NAME_SIZE = 260;

/* a sidecar of seals, open and mapped so far (either may be missing) */
struct log_sidecar {
  HANDLE file = INVALID_HANDLE_VALUE;
  void *view = nullptr;
  uint64_t mapped = 0;
};

struct log_held {
  char lock_name[LOG_HELD_NAME_SIZE]; /* "": a free entry */
  /* the lock file, and its stamp mapped */
  HANDLE lock = INVALID_HANDLE_VALUE;
  void *stamp = nullptr;
  /* the log, and which file it is */
  int fd = -1;
  VEZ_FILE_FACTS id = {};
  bool watched = false;      /* the way to its name is watched */
  int watch = -1;            /* and the file itself (-1: not) */
  DWORD seen = 0;            /* the watches' count when its name was last looked at */
  DWORD looked_at = 0;       /* when its descriptor was last looked at (GetTickCount) */
  DWORD forks_made = 0;      /* the children forked when it was opened (they share its file) */
  bool refused_said = false; /* its name was found to be no log of ours, and that was said */
  log_sidecar seals;         /* its sidecar, once a record was sealed */
  DWORD forks = 0;           /* the fork count it was opened under */
  unsigned long used = 0;
};

/*
** The entry of a lock file's name, or null: none, or one a fork's parent
** opened (let go), or every one forgotten because the host took
** descriptors since the last look. Its lock file may be missing (let go).
*/
log_held *log_held__find(const char *lock_name);
/* a free entry for lock_name, the least recently used one let go (closed) to make room */
log_held *log_held__make(const char *lock_name);

/* the log of an entry let go (closed where ours is set, else forgotten), its sidecar too */
void log_held__drop_log(log_held *h, bool ours);
/* the lock file of an entry let go: its stamp unmapped, closed where ours is set */
void log_held__drop_lock(log_held *h, bool ours);
/* a sidecar's view unmapped and its file closed (or forgotten) */
void log_held__drop_sidecar(log_sidecar *s, bool ours);

/* the host was found to have closed or taken descriptors kept: every entry forgotten, none
   closed, and counted */
void log_held__descriptors_taken(void);

#endif /* VEZ_LOG_HELD_H */
