/*
** watch.cpp - watches on the names a writer keeps open files by (POSIX:
** inotify). A writer that holds its log open must know, before each record,
** whether the name still names that log: moved aside by another process,
** removed, replaced, or its directory (or one on the way to it) moved or
** opened to others. Looking the whole path up again costs a walk of every
** component; a watch on each directory of the way tells it in one call
** that reads nothing (a poll of the watching descriptor). Events are only
** read, and so taken from the descriptor, once the descriptor is known to
** be still this process's: a host that closes descriptors it does not own
** and reuses their numbers never has a byte read from its own files.
**
** The files kept open are watched themselves too, each by its own inode:
** closed (by the host, which may then reuse its number: the writer's is
** the only descriptor of its open file, so its close is the file's), its
** mode, owner or links changed, moved or removed. So the one poll also
** says that a kept descriptor may no longer be the writer's.
**
** State is the process's, guarded by the caller's lock: the library's
** write lock (log.cpp), which every entry point that reaches this layer
** holds.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "create.h"

namespace {

/* what may change a name on the way to a watched file */
constexpr uint32_t WAY_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
/* what may make a kept file no longer the one its writer opened, or its descriptor no
   longer the writer's */
constexpr uint32_t FILE_EVENTS =
    IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr int WATCHED_MAX = 8;
constexpr size_t WATCHED_PATH = 1024;

int watcher = -1; /* the inotify descriptor, kept high */
dev_t watcher_dev;
ino_t watcher_ino;
bool broken = false; /* no watching (any more): every look is a full one */
DWORD changes = 0;
char watched[WATCHED_MAX][WATCHED_PATH];
int watched_count = 0;

/* a watch on every directory from the first ("/" or ".") down to the one path lies in */
bool watch_way(const char *path) {
  const char *slash = strrchr(path, '/');
  size_t dir_len = slash == nullptr ? 0 : slash == path ? 1 : (size_t)(slash - path);
  char prefix[WATCHED_PATH];
  if (dir_len >= sizeof prefix) return false;
  size_t at = 0;
  for (;;) {
    if (at == 0) {
      strcpy(prefix, path[0] == '/' ? "/" : ".");
    } else {
      memcpy(prefix, path, at);
      prefix[at] = '\0';
    }
    if (inotify_add_watch(watcher, prefix, WAY_EVENTS) < 0) return false;
    if (at >= dir_len) return true;
    const char *next = strchr(path + (at == 0 ? 1 : at + 1), '/');
    at = next == nullptr || (size_t)(next - path) > dir_len ? dir_len : (size_t)(next - path);
  }
}

/*
** After a change the same paths may lie elsewhere (a directory moved and
** made again, a link on the way pointed at another): every path is watched
** again, where it lies now (a directory watched already keeps its watch).
** While one cannot be (its directory is gone for now), nothing counts as
** unchanged, and the watches are tried again at each look.
*/
bool unwatched = false;
void rewatch() {
  unwatched = false;
  for (int i = 0; i < watched_count; i++)
    if (!watch_way(watched[i])) unwatched = true;
}

/* watching given up: the descriptor closed where it is still ours */
void give_up(bool ours) {
  if (ours && watcher >= 0) close(watcher);
  watcher = -1;
  broken = true;
}

} // namespace

BOOL VezWatchPath(LPCSTR path) {
  if (broken || path == nullptr) return FALSE;
  for (int i = 0; i < watched_count; i++)
    if (strcmp(watched[i], path) == 0) return TRUE;
  if (watcher < 0) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    struct stat st;
    if (fd < 0) {
      broken = true;
      return FALSE;
    }
    watcher = VezKeepDescriptor(fd);
    if (fstat(watcher, &st) != 0) {
      give_up(true);
      return FALSE;
    }
    watcher_dev = st.st_dev;
    watcher_ino = st.st_ino;
  }
  /* a path that cannot be watched whole (or remembered, to be watched again) is never
     trusted without a look: no watching at all from then on is the simple answer */
  if (watched_count == WATCHED_MAX || strlen(path) >= WATCHED_PATH || !watch_way(path)) {
    give_up(true);
    return FALSE;
  }
  strcpy(watched[watched_count++], path);
  changes++; /* what changed before the watches were there is not known */
  return TRUE;
}

DWORD VezWatchChanges(void) {
  if (broken || watcher < 0) return ++changes;
  if (unwatched) {
    rewatch();
    return ++changes;
  }
  /* an inotify descriptor is never ready for writing: one that is (a file or socket of the
     host's at its number), or is closed, is no longer the watches' */
  struct pollfd p = {watcher, POLLIN | POLLOUT, 0};
  int ready = poll(&p, 1, 0);
  if (ready < 0 || (p.revents & POLLNVAL) != 0) {
    posix_descriptor_lost(); /* closed by the host */
    give_up(false);
    return ++changes;
  }
  if (ready == 0) return changes;
  struct stat st;
  if (fstat(watcher, &st) != 0 || st.st_dev != watcher_dev || st.st_ino != watcher_ino) {
    posix_descriptor_lost(); /* taken by the host: nothing of it is read */
    give_up(false);
    return ++changes;
  }
  if ((p.revents & ~(POLLIN | POLLRDNORM)) != 0) {
    posix_descriptor_lost();
    give_up(false);
    return ++changes;
  }
  /* what changed does not matter, only that something did */
  alignas(struct inotify_event) char events[4096];
  while (read(watcher, events, sizeof events) > 0) {
  }
  unwatched = true;
  rewatch();
  return ++changes;
}

DWORD VezWatchSeen(void) { return broken || watcher < 0 || unwatched ? ++changes : changes; }

int VezWatchFile(int fd, BOOL writes) {
  if (broken || watcher < 0 || fd < 0) return -1;
  /* the file the descriptor is open on, whatever its name names now */
  char self[40];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  int wd = inotify_add_watch(watcher, self, FILE_EVENTS | (writes ? IN_MODIFY : 0));
  return wd >= 0 ? wd : -1;
}

void VezUnwatchFile(int wd) {
  if (!broken && watcher >= 0 && wd >= 0) inotify_rm_watch(watcher, wd);
}

#endif /* VEZ_OS_POSIX */
