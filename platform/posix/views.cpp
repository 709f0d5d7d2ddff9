/*
** views.cpp - POSIX emulation of the Win32 file mappings, and what a view
** reads once its file is cut under it.
**
** Windows refuses to cut a mapped file; POSIX lets anyone who may write it
** do so. A cut inside a view's first page leaves zeros where the file
** ended; past it, the next access raises SIGBUS. Either way the view is
** replaced, in one step that no reader can see half done, by private pages
** holding its fallback bytes: VezViewCheck does it when it finds the file
** shorter, the fault handler when an access faults first.
**
** The replacement pages (the spare) are made and filled when the view is
** mapped, before its address is published: the handler only moves them
** over the view, with one system call, and touches no state that is not
** complete. Each view counts the handlers inside it; a view is taken back
** (unmapped, or given another file) only once its address is withdrawn and
** no handler is inside, so the handler never moves pages onto a range that
** was given back and reused. A fault that is no view's goes to the handler
** that was there before ours, read from a record published whole, with a
** flag of the faulting thread's own against going round in a circle.
**
** Each view keeps a descriptor of its file, and the file's identity (to
** tell it from a descriptor a host closed and reused), for VezViewCheck's
** look. The table is written by the mapping calls, under the library's
** write lock as the handles are, and read by the handler on any thread.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "handles.h"

namespace {

constexpr int MAX_VIEWS = 32;
constexpr size_t VIEW_FALLBACK_MAX = 4096;

/* a view's pages are its file's (MAPPED), being replaced by its spare (REPLACING) or given
   another file (SWAPPING: a fault meanwhile waits for either), or the fallback's for good
   (LOST) */
enum { VIEW_MAPPED = 0, VIEW_REPLACING = 1, VIEW_SWAPPING = 2, VIEW_LOST = 3 };

struct view_entry {
  void *addr; /* published last, withdrawn first */
  size_t length;
  void *spare;  /* private pages holding the fallback, ready to be moved over the view */
  int state;    /* VIEW_MAPPED, VIEW_SWAPPING or VIEW_LOST */
  int handlers; /* fault handlers inside this view now */
  size_t fallback_size;
  unsigned char fallback[VIEW_FALLBACK_MAX]; /* kept to fill a spare again */
  int fd; /* -1: none; a descriptor found closed or taken is looked for again by path */
  dev_t dev;
  ino_t ino;
  char path[MAX_PATH];
  long next_look; /* a file missing at its name is looked for at most once a second */
};
view_entry views[MAX_VIEWS];

/* the handler that was there before ours, in records published whole: a record is written
   only while no handler reads it and it is not the one published */
constexpr int PREVIOUS_SLOTS = 4;
struct sigaction previous[PREVIOUS_SLOTS];
int previous_readers[PREVIOUS_SLOTS];
int previous_at = -1; /* the slot in force; -1: none yet */

/* set while this thread passes a fault on: a handler that calls ours again gets the default
   action. Initial-exec, so that the handler's read of it allocates nothing */
__attribute__((tls_model("initial-exec"))) thread_local int passing_on = 0;

long coarse_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (long)ts.tv_sec;
}

/* private pages of length holding fallback (the rest zeros); null when none can be had */
void *make_spare(size_t length, const void *fallback, size_t size) {
  void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  memcpy(p, fallback, size < length ? size : length);
  return p;
}

/*
** The view's pages become the spare, at once, where they are still the
** file's: a reader sees the file's bytes or the fallback, never a page of
** each. True when the view reads the fallback now, or another thread is
** at it (the faulting access is to run again once it is done), false when
** nothing can be done. Safe in a signal handler: atomics and one system
** call.
*/
bool replace_with_spare(view_entry &v, char *base) {
  int was = VIEW_MAPPED;
  if (!__atomic_compare_exchange_n(&v.state, &was, VIEW_REPLACING, false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST)) {
    /* replaced already, or being replaced or given another file now: the thread at it is let
       run before the access faults again */
    if (was != VIEW_LOST) syscall(SYS_sched_yield);
    return true;
  }
  void *spare = __atomic_exchange_n(&v.spare, nullptr, __ATOMIC_SEQ_CST);
  long moved = spare == nullptr ? -1
                                : syscall(SYS_mremap, spare, v.length, v.length,
                                          MREMAP_MAYMOVE | MREMAP_FIXED, base);
  if (moved == -1) {
    __atomic_store_n(&v.spare, spare, __ATOMIC_SEQ_CST);
    __atomic_store_n(&v.state, VIEW_MAPPED, __ATOMIC_SEQ_CST);
    return false;
  }
  __atomic_store_n(&v.state, VIEW_LOST, __ATOMIC_SEQ_CST);
  return true;
}

/* the view's address where it is still published, with this caller counted inside it (to
   be let out with leave_view); null when it is not */
char *enter_view(view_entry &v) {
  __atomic_add_fetch(&v.handlers, 1, __ATOMIC_SEQ_CST);
  char *base = static_cast<char *>(__atomic_load_n(&v.addr, __ATOMIC_SEQ_CST));
  if (base == nullptr) __atomic_sub_fetch(&v.handlers, 1, __ATOMIC_SEQ_CST);
  return base;
}

void leave_view(view_entry &v) { __atomic_sub_fetch(&v.handlers, 1, __ATOMIC_SEQ_CST); }

/* until no handler is inside the view (its address withdrawn, or its state set, before) */
void wait_for_handlers(view_entry &v) {
  while (__atomic_load_n(&v.handlers, __ATOMIC_SEQ_CST) != 0)
    sched_yield();
}

void on_bus(int sig, siginfo_t *info, void *context);

/* the default action: a fault recurs when the access runs again; a signal that was sent is
   gone once handled, so it is raised again */
void default_action(int sig, bool sent) {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &dfl, nullptr);
  if (sent) raise(sig);
}

/* what would have happened without our handler */
void pass_on(int sig, siginfo_t *info, void *context) {
  bool sent = info == nullptr || info->si_code <= 0; /* kill, tgkill, sigqueue: no fault */
  int slot = -1;
  for (;;) {
    slot = __atomic_load_n(&previous_at, __ATOMIC_SEQ_CST);
    if (slot < 0) break;
    __atomic_add_fetch(&previous_readers[slot], 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&previous_at, __ATOMIC_SEQ_CST) == slot) break;
    __atomic_sub_fetch(&previous_readers[slot], 1, __ATOMIC_SEQ_CST);
  }
  struct sigaction prev;
  memset(&prev, 0, sizeof prev);
  prev.sa_handler = SIG_DFL;
  if (slot >= 0) {
    prev = previous[slot];
    __atomic_sub_fetch(&previous_readers[slot], 1, __ATOMIC_SEQ_CST);
  }
  bool ours = (prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction == on_bus;
  if (!passing_on && !ours) {
    if ((prev.sa_flags & SA_SIGINFO) && prev.sa_sigaction != nullptr) {
      passing_on = 1;
      prev.sa_sigaction(sig, info, context);
      passing_on = 0;
      return;
    }
    if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
      passing_on = 1;
      prev.sa_handler(sig);
      passing_on = 0;
      return;
    }
    if (!(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN && sent) return;
  }
  default_action(sig, sent);
}

void on_bus(int sig, siginfo_t *info, void *context) {
  if (info != nullptr && info->si_code > 0) {
    char *at = static_cast<char *>(info->si_addr);
    for (view_entry &v : views) {
      char *base = enter_view(v);
      if (base == nullptr) continue;
      bool inside = at >= base && at < base + v.length;
      int saved = errno;
      bool replaced = inside && replace_with_spare(v, base);
      errno = saved;
      leave_view(v);
      if (replaced) return; /* the faulting access runs again, on the fallback */
      if (inside) break;
    }
  }
  pass_on(sig, info, context);
}

/* ours in front, the one it replaced kept (a slot no handler reads and not in force) */
void install_handler() {
  struct sigaction sa, before;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_bus;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGBUS, nullptr, &before) != 0) return;
  int in_force = __atomic_load_n(&previous_at, __ATOMIC_SEQ_CST);
  int slot = -1;
  for (int tries = 0; slot < 0; tries++) {
    for (int i = 0; i < PREVIOUS_SLOTS && slot < 0; i++)
      if (i != in_force && __atomic_load_n(&previous_readers[i], __ATOMIC_SEQ_CST) == 0) slot = i;
    if (slot < 0) sched_yield();
    if (tries > 1000) return;
  }
  previous[slot] = before;
  __atomic_store_n(&previous_at, slot, __ATOMIC_SEQ_CST);
  sigaction(SIGBUS, &sa, nullptr);
}

void watch_views() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  install_handler();
}

/* A host may install a SIGBUS handler of its own after ours: at most once a second, ours is
   put back in front of it, and passes it every fault that is not a view's. */
void keep_watching() {
  static long next = 0;
  long now = coarse_seconds();
  if (now < next) return;
  next = now + 1;
  struct sigaction cur;
  if (sigaction(SIGBUS, nullptr, &cur) != 0) return;
  if ((cur.sa_flags & SA_SIGINFO) && cur.sa_sigaction == on_bus) return;
  install_handler();
}

view_entry *view_of(LPCVOID view) {
  for (view_entry &v : views)
    if (v.addr != nullptr && v.addr == view) return &v;
  return nullptr;
}

/* the view's kept descriptor closed, where it is still the one kept (a host may have
   taken its number) */
void close_kept(view_entry &v) {
  struct stat st;
  if (v.fd >= 0 && fstat(v.fd, &st) == 0 && st.st_dev == v.dev && st.st_ino == v.ino) close(v.fd);
  v.fd = -1;
}

/* a descriptor of fd's file to keep for a view, and its identity; -1 when none */
int keep_file_of(int fd, struct stat *st) {
  int kept = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (kept < 0 || fstat(kept, st) != 0) {
    int e = errno;
    if (kept >= 0) close(kept);
    errno = e;
    return -1;
  }
  return VezKeepDescriptor(kept);
}

} // namespace

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD, DWORD size_high,
                          DWORD size_low, LPCSTR) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    posix_fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uint64_t want = ((uint64_t)size_high << 32) | size_low;
  uint64_t have = (uint64_t)st.st_size;
  if (want == 0) {
    if (have == 0) { /* an empty file cannot be mapped */
      posix_fail(ERROR_FILE_INVALID);
      return nullptr;
    }
    want = have;
  }
  /* the mapped range gets its blocks now, as Windows gives them: a full disk fails the
     mapping here instead of faulting the first store into a hole */
  int e = posix_fallocate(h->fd, 0, (off_t)want);
  if (e == ENOSPC || e == EDQUOT) {
    posix_fail(ERROR_DISK_FULL);
    return nullptr;
  }
  if (e != 0 && have < want && ftruncate(h->fd, (off_t)want) != 0) {
    e = errno;
    posix_fail(posix_error(e));
    return nullptr;
  }
  int fd = fcntl(h->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    e = errno;
    posix_fail(posix_error(e));
    return nullptr;
  }
  vez_handle *m = posix_new_handle(HANDLE_MAPPING, fd, want, h->path);
  if (m == nullptr) {
    close(fd);
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  posix_last_error = 0; /* a mapping of no name: none existed before */
  return m;
}

void VezSetMappingFallback(HANDLE mapping, const void *fallback, size_t size) {
  vez_handle *m = posix_handle(mapping, HANDLE_MAPPING);
  if (m == nullptr) return;
  m->fallback = fallback;
  m->fallback_size = size > VIEW_FALLBACK_MAX ? VIEW_FALLBACK_MAX : size;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD, DWORD off_high, DWORD off_low, size_t length) {
  vez_handle *m = posix_handle(mapping, HANDLE_MAPPING);
  uint64_t off = ((uint64_t)off_high << 32) | off_low;
  if (m == nullptr || off > m->map_size) {
    posix_fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (length == 0) length = (size_t)(m->map_size - off);
  int slot = 0;
  while (slot < MAX_VIEWS && (views[slot].addr != nullptr || views[slot].handlers != 0))
    slot++;
  if (slot == MAX_VIEWS || length == 0) {
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  watch_views();
  view_entry &v = views[slot];
  v.fallback_size = m->fallback != nullptr ? m->fallback_size : 0;
  if (v.fallback_size > 0) memcpy(v.fallback, m->fallback, v.fallback_size);
  struct stat st;
  void *spare = make_spare(length, v.fallback, v.fallback_size);
  v.fd = spare != nullptr ? keep_file_of(m->fd, &st) : -1;
  if (v.fd < 0) {
    int e = errno;
    if (spare != nullptr) munmap(spare, length);
    posix_fail(posix_error(e));
    return nullptr;
  }
  v.dev = st.st_dev;
  v.ino = st.st_ino;
  void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd, (off_t)off);
  if (p == MAP_FAILED) {
    int e = errno;
    close(v.fd);
    v.fd = -1;
    munmap(spare, length);
    posix_fail(posix_error(e));
    return nullptr;
  }
  v.length = length;
  v.state = VIEW_MAPPED;
  memcpy(v.path, m->path, sizeof v.path);
  v.next_look = 0;
  __atomic_store_n(&v.spare, spare, __ATOMIC_SEQ_CST);
  __atomic_store_n(&v.addr, p, __ATOMIC_SEQ_CST); /* complete: published */
  return p;
}

BOOL UnmapViewOfFile(LPCVOID view) {
  view_entry *v = view_of(view);
  if (v == nullptr) {
    posix_fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  __atomic_store_n(&v->addr, nullptr, __ATOMIC_SEQ_CST);
  wait_for_handlers(*v);
  munmap(const_cast<void *>(view), v->length);
  void *spare = __atomic_exchange_n(&v->spare, nullptr, __ATOMIC_SEQ_CST);
  if (spare != nullptr) munmap(spare, v->length);
  close_kept(*v);
  return TRUE;
}

BOOL VezViewLost(LPCVOID view) {
  view_entry *v = view_of(view);
  return v != nullptr && __atomic_load_n(&v->state, __ATOMIC_SEQ_CST) == VIEW_LOST;
}

BOOL VezRemapView(LPCVOID view, HANDLE file) {
  view_entry *v = view_of(view);
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  struct stat st;
  if (v == nullptr || h == nullptr || fstat(h->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    posix_fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((uint64_t)st.st_size < (v->fallback_size > 0 ? v->fallback_size : 1)) {
    posix_fail(ERROR_FILE_INVALID);
    return FALSE;
  }
  struct stat kept_st;
  int kept = keep_file_of(h->fd, &kept_st);
  if (kept < 0) {
    posix_fail(posix_error(errno));
    return FALSE;
  }
  /* faults from now on wait; a replacement under way is let finish first, and so are the
     handlers inside already */
  int was = VIEW_MAPPED;
  for (;;) {
    was = __atomic_load_n(&v->state, __ATOMIC_SEQ_CST);
    if (was != VIEW_REPLACING && __atomic_compare_exchange_n(&v->state, &was, VIEW_SWAPPING, false,
                                                             __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      break;
    sched_yield();
  }
  wait_for_handlers(*v);
  void *p = mmap(const_cast<void *>(view), v->length, PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_FIXED, h->fd, 0);
  if (p == MAP_FAILED) {
    int e = errno;
    close(kept);
    __atomic_store_n(&v->state, was, __ATOMIC_SEQ_CST);
    posix_fail(posix_error(e));
    return FALSE;
  }
  /* the fallback ready again for the new file, where the old one's spare was used */
  if (__atomic_load_n(&v->spare, __ATOMIC_SEQ_CST) == nullptr)
    __atomic_store_n(&v->spare, make_spare(v->length, v->fallback, v->fallback_size),
                     __ATOMIC_SEQ_CST);
  close_kept(*v);
  v->fd = kept;
  v->dev = kept_st.st_dev;
  v->ino = kept_st.st_ino;
  v->next_look = 0;
  __atomic_store_n(&v->state, VIEW_MAPPED, __ATOMIC_SEQ_CST);
  return TRUE;
}

namespace {

/* the view's file by its name, where the descriptor kept for it was closed or taken by the
   host: the same file, or none (-1) */
int view_file_again(view_entry &v) {
  long now = coarse_seconds();
  if (v.path[0] == '\0' || now < v.next_look) return -1;
  v.next_look = now + 1;
  bool created = false;
  int fd = posix_open_file(v.path, O_RDONLY | O_CLOEXEC | O_NOCTTY, false, false, &created);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != v.dev || st.st_ino != v.ino)) {
    close(fd);
    fd = -1;
  }
  return fd < 0 ? -1 : VezKeepDescriptor(fd);
}

} // namespace

int VezViewCheck(LPCVOID view) {
  view_entry *v = view_of(view);
  if (v == nullptr) return VEZ_VIEW_WHOLE;
  keep_watching();
  if (VezViewLost(view)) return VEZ_VIEW_CUT;
  struct stat st;
  if (v->fd < 0 || fstat(v->fd, &st) != 0 || st.st_dev != v->dev || st.st_ino != v->ino) {
    /* closed or taken by the host: never ours to close any more */
    if (v->fd >= 0) posix_descriptor_lost();
    v->fd = view_file_again(*v);
    if (v->fd < 0 || fstat(v->fd, &st) != 0) return VEZ_VIEW_GONE;
  }
  size_t needed = v->fallback_size > 0 ? v->fallback_size : 1;
  if ((uint64_t)st.st_size < needed) {
    char *base = enter_view(*v);
    if (base != nullptr) {
      replace_with_spare(*v, base);
      leave_view(*v);
    }
    while (__atomic_load_n(&v->state, __ATOMIC_SEQ_CST) == VIEW_REPLACING)
      sched_yield(); /* another thread's replacement let finish: the caller reads next */
    return VEZ_VIEW_CUT;
  }
  return st.st_nlink == 0 ? VEZ_VIEW_GONE : VEZ_VIEW_WHOLE;
}

void VezKeepFaultHandler(void) { keep_watching(); }

int VezWatchView(LPCVOID view) {
  view_entry *v = view_of(view);
  return v == nullptr ? -1 : VezWatchFile(v->fd, TRUE);
}

#endif /* VEZ_OS_POSIX */
