/*
** files.cpp - POSIX emulation of the Win32 file, device, mapping and process
** calls that the logging system uses.
**
** Handles are entries of a fixed table around a descriptor. A share mode of 0 is
** an exclusive open: a non-waiting flock held for the handle's life, which the
** kernel drops when the process dies; any other open takes a shared flock,
** so that an exclusive open and every other open through here exclude each
** other, as on Windows. GetLastError is a code of the thread's own, set by
** each call here as Windows sets it, never by the C library.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "create.h"

namespace {

enum { HANDLE_FILE = 1, HANDLE_MAPPING = 2, HANDLE_FIND = 3, HANDLE_CHANGE = 4 };

struct vez_handle {
  int kind; /* 0: a free entry */
  int fd;
  uint64_t map_size;   /* mappings only */
  char path[MAX_PATH]; /* files and mappings: the name it was opened by, where it fits */
  DIR *dir;            /* searches only: the directory, and the pattern its names must match */
  char pattern[MAX_PATH];
  char dir_path[MAX_PATH];
};

/*
** Handles come from a fixed table: opening a lock or a device allocates
** nothing. The table is the process's, guarded by the caller's lock: the
** library's write lock (log.cpp), which every entry point that reaches this
** layer holds; the programs run on one thread.
*/
constexpr int MAX_HANDLES = 256;
vez_handle handles[MAX_HANDLES];

vez_handle *new_handle(int kind, int fd, uint64_t map_size, const char *path = "") {
  for (vez_handle &h : handles) {
    if (h.kind == 0) {
      h.kind = kind;
      h.fd = fd;
      h.map_size = map_size;
      h.dir = nullptr;
      snprintf(h.path, sizeof h.path, "%s", strlen(path) < sizeof h.path ? path : "");
      return &h;
    }
  }
  return nullptr;
}

/*
** Views mapped and not yet unmapped, so that UnmapViewOfFile knows each
** length, and what each view reads once its file is cut under it: Windows
** refuses to cut a mapped file, POSIX lets anyone who may write it do so.
** A cut inside a view's first page leaves zeros where the file ended; past
** it, the next access raises SIGBUS. Either way the view is replaced, in
** one step that no reader can see half done, by a private copy of its
** fallback bytes: VezViewCheck does it when it finds the file shorter, the
** fault handler when an access faults first. Each view keeps a descriptor
** of its file (and the file's identity, to tell it from a descriptor a
** host closed and reused) for that look. The table is written by the
** mapping calls, under the library's write lock as the handles are, and
** read by the fault handler on any thread at any time: an entry is
** published by its address last, and taken back by its address first.
*/
constexpr int MAX_VIEWS = 32;
constexpr size_t VIEW_FALLBACK_MAX = 4096;
struct view_entry {
  void *addr;
  size_t length;
  size_t fallback_size;
  unsigned char fallback[VIEW_FALLBACK_MAX];
  volatile sig_atomic_t lost;
  int fd; /* -1: none; a descriptor found closed or taken is looked for again by path */
  dev_t dev;
  ino_t ino;
  char path[MAX_PATH];
  long next_look; /* a file missing at its name is looked for at most once a second */
};
view_entry views[MAX_VIEWS];
struct sigaction previous_bus;
/* kept descriptors found closed or taken by the host: written and read under the library's
   write lock */
DWORD descriptors_lost = 0;
/* set while the fault is passed to the handler that was there before ours */
volatile sig_atomic_t passing_on = 0;

long coarse_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (long)ts.tv_sec;
}

/* the view's pages, at once, become a private copy of its fallback: a reader sees the file's
   bytes or the fallback, never a page of each or a half-copied one */
bool replace_view(view_entry &v) {
  void *base = __atomic_load_n(&v.addr, __ATOMIC_ACQUIRE);
  if (base == nullptr) return false;
  void *fresh = mmap(nullptr, v.length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fresh == MAP_FAILED) return false;
  memcpy(fresh, v.fallback, v.fallback_size < v.length ? v.fallback_size : v.length);
  if (mremap(fresh, v.length, v.length, MREMAP_MAYMOVE | MREMAP_FIXED, base) == MAP_FAILED) {
    munmap(fresh, v.length);
    return false;
  }
  v.lost = 1;
  return true;
}

void on_bus(int sig, siginfo_t *info, void *context);

/* what would have happened without our handler */
void pass_on(int sig, siginfo_t *info, void *context) {
  bool sent = info == nullptr || info->si_code <= 0; /* kill, tgkill, sigqueue: no fault */
  struct sigaction prev = previous_bus;
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
  /* the default action: a fault recurs when the access runs again; a signal that was sent
     is gone once handled, so it is raised again */
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &dfl, nullptr);
  if (sent) raise(sig);
}

void on_bus(int sig, siginfo_t *info, void *context) {
  if (info != nullptr && info->si_code > 0) {
    char *at = static_cast<char *>(info->si_addr);
    for (view_entry &v : views) {
      char *base = static_cast<char *>(__atomic_load_n(&v.addr, __ATOMIC_ACQUIRE));
      if (base == nullptr || at < base || at >= base + v.length) continue;
      int saved = errno;
      bool replaced = replace_view(v);
      errno = saved;
      if (replaced) return; /* the faulting access runs again, on the copy */
      break;
    }
  }
  pass_on(sig, info, context);
}

void install_handler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_bus;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGBUS, &sa, &previous_bus);
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

DWORD win32_error(int e) { return (DWORD)posix_win32_error(e, nullptr); }

void fail_with(DWORD code) { posix_last_error = code; }

/* the end of a read or write: the count moved, or the failure's code */
BOOL transferred(ssize_t n, LPDWORD count) {
  if (n < 0) {
    int e = errno;
    fail_with(win32_error(e));
    return FALSE;
  }
  if (count != nullptr) *count = (DWORD)n;
  return TRUE;
}

vez_handle *as_handle(HANDLE h, int kind) {
  vez_handle *v = static_cast<vez_handle *>(h);
  if (v < handles || v >= handles + MAX_HANDLES) return nullptr;
  return v->kind == kind ? v : nullptr;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
  if (name == nullptr) {
    fail_with(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const char *path = name;
  bool device = false;
  if (strcasecmp(name, "CONOUT$") == 0) {
    path = "/dev/tty";
    device = true;
  } else if (strcasecmp(name, "NUL") == 0) {
    path = "/dev/null";
    device = true;
  }
  if (path[0] == '\0') {
    fail_with(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  /* an existing FIFO without a reader must not hang the open: O_NONBLOCK for the open only */
  bool nonblock = disposition == OPEN_EXISTING;
  int flags = O_CLOEXEC | O_NOCTTY | (nonblock ? O_NONBLOCK : 0);
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    flags |= O_RDWR;
  else if (access & GENERIC_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  switch (disposition) {
  case CREATE_NEW: flags |= device ? 0 : (O_CREAT | O_EXCL); break;
  case OPEN_ALWAYS: flags |= device ? 0 : O_CREAT; break;
  case OPEN_EXISTING: break;
  default: fail_with(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  /* an existing device may be written (a notice to a terminal or a pipe), or read */
  int fd = posix_open_file(path, flags, true, disposition == OPEN_EXISTING, &created);
  if (fd < 0) {
    int e = errno;
    fail_with((DWORD)posix_win32_error(e, path));
    return INVALID_HANDLE_VALUE;
  }
  if (nonblock) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  /* opened for writing, a directory has already failed (EISDIR); for reading, refuse it here */
  struct stat st;
  if (!(access & GENERIC_WRITE) && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    close(fd);
    fail_with(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  /* share mode 0 excludes every other open, and any other open excludes it */
  if (!device && flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 &&
      errno == EWOULDBLOCK) {
    close(fd);
    fail_with(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = new_handle(HANDLE_FILE, fd, 0, path);
  if (h == nullptr) {
    close(fd);
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  /* success sets the code too: 183 for an OPEN_ALWAYS that found the file there */
  posix_last_error = disposition == OPEN_ALWAYS && !device && !created ? ERROR_ALREADY_EXISTS : 0;
  return h;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    fail_with(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = (uint64_t)st.st_size;
  if (high != nullptr) *high = (DWORD)(size >> 32);
  return (DWORD)size;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  if (h == nullptr || method > FILE_END) {
    fail_with(h == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t offset = distance_high != nullptr
                     ? (off_t)(((uint64_t)(uint32_t)*distance_high << 32) | (uint32_t)distance)
                     : (off_t)distance;
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t at = lseek(h->fd, offset, whence);
  if (at < 0) {
    int e = errno;
    fail_with(e == ESPIPE ? ERROR_INVALID_FUNCTION : win32_error(e));
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) *distance_high = (LONG)((uint64_t)at >> 32);
  return (DWORD)at;
}

BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD count, LPDWORD written, void *) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  if (written != nullptr) *written = 0;
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n = write(h->fd, buf, count);
  if (n < 0 && errno == EAGAIN) n = 0; /* a handle in PIPE_NOWAIT mode with no room: nothing */
  return transferred(n, written);
}

BOOL ReadFile(HANDLE file, LPVOID buf, DWORD count, LPDWORD got, void *) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  if (got != nullptr) *got = 0;
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n;
  while ((n = read(h->fd, buf, count)) < 0 && errno == EINTR) {
  }
  return transferred(n, got);
}

namespace {

/* a time of the file system as Windows counts it: 100 ns since 1601 */
FILETIME file_time(const struct timespec &t) {
  uint64_t v = ((uint64_t)t.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)t.tv_nsec / 100;
  return FILETIME{(DWORD)v, (DWORD)(v >> 32)};
}

DWORD attributes_of(const struct stat &st) {
  DWORD a = S_ISDIR(st.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
            : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                  : FILE_ATTRIBUTE_DEVICE;
  if (!(st.st_mode & 0222)) a |= FILE_ATTRIBUTE_READONLY;
  return a;
}

} // namespace

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || info == nullptr || fstat(h->fd, &st) != 0) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  memset(info, 0, sizeof *info);
  info->dwFileAttributes = attributes_of(st);
  info->ftCreationTime = file_time(st.st_ctim);
  info->ftLastAccessTime = file_time(st.st_atim);
  info->ftLastWriteTime = file_time(st.st_mtim);
  info->dwVolumeSerialNumber = (DWORD)st.st_dev;
  info->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
  info->nFileSizeLow = (DWORD)st.st_size;
  info->nNumberOfLinks = (DWORD)st.st_nlink;
  info->nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
  info->nFileIndexLow = (DWORD)st.st_ino;
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
  struct stat st;
  if (name == nullptr || stat(name, &st) != 0) {
    int e = name == nullptr ? EINVAL : errno;
    fail_with((DWORD)posix_win32_error(e, name));
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes_of(st);
}

DWORD GetFileType(HANDLE file) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    fail_with(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  posix_last_error = 0;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
  return FILE_TYPE_PIPE;
}

namespace {

/* the next name of a search that matches its pattern */
BOOL next_match(vez_handle *h, LPWIN32_FIND_DATAA data) {
  struct dirent *d;
  errno = 0;
  while ((d = readdir(h->dir)) != nullptr) {
    if (fnmatch(h->pattern, d->d_name, FNM_PERIOD) != 0 && strcmp(h->pattern, "*") != 0) continue;
    memset(data, 0, sizeof *data);
    size_t n = strlen(d->d_name);
    if (n >= sizeof data->cFileName) continue; /* no room for the name: Windows has none such */
    memcpy(data->cFileName, d->d_name, n + 1);
    char path[MAX_PATH * 2];
    snprintf(path, sizeof path, "%s/%s", h->dir_path, d->d_name);
    struct stat st;
    if (lstat(path, &st) == 0) {
      data->dwFileAttributes = attributes_of(st);
      data->ftCreationTime = file_time(st.st_ctim);
      data->ftLastAccessTime = file_time(st.st_atim);
      data->ftLastWriteTime = file_time(st.st_mtim);
      data->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
      data->nFileSizeLow = (DWORD)st.st_size;
    }
    return TRUE;
  }
  fail_with(errno != 0 ? win32_error(errno) : ERROR_NO_MORE_FILES);
  return FALSE;
}

} // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  if (pattern == nullptr || data == nullptr || strlen(pattern) >= MAX_PATH) {
    fail_with(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const char *slash = strrchr(pattern, '/');
  char dir[MAX_PATH];
  if (slash == nullptr) {
    strcpy(dir, ".");
  } else {
    size_t n = slash == pattern ? 1 : (size_t)(slash - pattern);
    memcpy(dir, pattern, n);
    dir[n] = '\0';
  }
  DIR *d = opendir(dir);
  if (d == nullptr) {
    int e = errno;
    fail_with(e == ENOENT ? ERROR_PATH_NOT_FOUND : win32_error(e));
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = new_handle(HANDLE_FIND, dirfd(d), 0);
  if (h == nullptr) {
    closedir(d);
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  h->dir = d;
  snprintf(h->pattern, sizeof h->pattern, "%s", slash != nullptr ? slash + 1 : pattern);
  snprintf(h->dir_path, sizeof h->dir_path, "%s", dir);
  if (!next_match(h, data)) {
    DWORD code = GetLastError();
    FindClose(h);
    fail_with(code == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : code);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  vez_handle *h = as_handle(find, HANDLE_FIND);
  if (h == nullptr || data == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return next_match(h, data);
}

BOOL FindClose(HANDLE find) {
  vez_handle *h = as_handle(find, HANDLE_FIND);
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  closedir(h->dir);
  h->dir = nullptr;
  h->kind = 0;
  return TRUE;
}

namespace {

/* an errno value that means what a Win32 code means, for its words */
int errno_for(DWORD code) {
  switch (code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND: return ENOENT;
  case ERROR_ACCESS_DENIED: return EACCES;
  case ERROR_INVALID_HANDLE: return EBADF;
  case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS: return EEXIST;
  case ERROR_DISK_FULL: return ENOSPC;
  case ERROR_INVALID_PARAMETER: return EINVAL;
  case ERROR_FILE_TOO_LARGE: return EFBIG;
  default: return 0;
  }
}

} // namespace

DWORD FormatMessageA(DWORD, LPCVOID, DWORD code, DWORD, LPSTR buf, DWORD size, void *) {
  if (buf == nullptr || size == 0) {
    fail_with(ERROR_INVALID_PARAMETER);
    return 0;
  }
  /* the errno a failing call of this thread last met behind this code */
  int e = posix_errno_of(code);
  if (e == 0) e = errno_for(code);
  char words[256];
  const char *text = words;
  if (code == ERROR_SHARING_VIOLATION)
    text = "in use by another process";
  else if (code == ERROR_FILE_INVALID)
    text = "not a valid file of its kind";
  else if (code == ERROR_BADDB)
    text = "not a registry file (no REGEDIT4 or \"Windows Registry Editor Version 5.00\" line)";
  else if (code == ERROR_MORE_DATA || code == ERROR_INSUFFICIENT_BUFFER)
    text = "more data than the room given";
  else if (e != 0)
    text = strerror_r(e, words, sizeof words);
  else
    snprintf(words, sizeof words, "error %lu", (unsigned long)code);
  size_t n = strlen(text);
  if (n >= size) n = size - 1;
  memcpy(buf, text, n);
  buf[n] = '\0';
  return (DWORD)n;
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD, LPDWORD) {
  vez_handle *h = as_handle(pipe, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  /* pipes and devices only: a file's writes never wait for a reader */
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    fail_with(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (mode != nullptr) {
    int flags = fcntl(h->fd, F_GETFL);
    flags = (*mode & PIPE_NOWAIT) ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (fcntl(h->fd, F_SETFL, flags) != 0) {
      int e = errno;
      fail_with(win32_error(e));
      return FALSE;
    }
  }
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (from == nullptr || to == nullptr) {
    fail_with(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  /* without replacing: atomic where the file system can (two movers of one name never
     both win) */
  if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return TRUE;
    int e = errno;
    if (e != EINVAL && e != ENOSYS) {
      fail_with(e == EEXIST ? ERROR_ALREADY_EXISTS : (DWORD)posix_win32_error(e, from));
      return FALSE;
    }
    struct stat st;
    if (lstat(to, &st) == 0) {
      fail_with(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
  }
  if (rename(from, to) != 0) {
    int e = errno;
    fail_with((DWORD)posix_win32_error(e, from));
    return FALSE;
  }
  return TRUE;
}

/*
** The settings name the notification target, and whoever may write the
** settings file may name any target: a regular file is written only when
** each of them may write it anyway, so that no one can have another user's
** process write that user's private file for them.
*/
BOOL VezNoticeTargetAllowed(HANDLE target, LPCSTR target_name, LPCSTR settings_file) {
  struct stat t, s;
  vez_handle *h = as_handle(target, HANDLE_FILE);
  if (h != nullptr ? fstat(h->fd, &t) != 0 : target_name == nullptr || stat(target_name, &t) != 0)
    return h == nullptr; /* a target that cannot be seen: nothing to say of it */
  if (!S_ISREG(t.st_mode) || settings_file == nullptr) return TRUE;
  if (stat(settings_file, &s) != 0) return FALSE;
  if (s.st_mode & S_IWOTH) return (t.st_mode & S_IWOTH) != 0;
  if (s.st_mode & S_IWGRP) return t.st_gid == s.st_gid && (t.st_mode & S_IWGRP) != 0;
  return t.st_uid == s.st_uid;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int op = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? LOCK_EX : LOCK_SH;
  if (flags & LOCKFILE_FAIL_IMMEDIATELY) op |= LOCK_NB;
  int rc;
  while ((rc = flock(h->fd, op)) != 0 && errno == EINTR) {
  }
  if (rc == 0) return TRUE;
  int e = errno;
  fail_with(e == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : win32_error(e));
  return FALSE;
}

BOOL UnlockFileEx(HANDLE file, DWORD, DWORD, DWORD, LPOVERLAPPED) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  if (h == nullptr || flock(h->fd, LOCK_UN) != 0) {
    fail_with(h == nullptr ? ERROR_INVALID_HANDLE : win32_error(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL VezKeepFilesOpen(void) { return TRUE; }

DWORD VezDescriptorsLost(void) { return descriptors_lost; }

void posix_descriptor_lost(void) { descriptors_lost++; }

void VezForgetHandle(HANDLE handle) {
  vez_handle *h = as_handle(handle, HANDLE_FILE);
  if (h != nullptr) h->kind = 0;
}

HANDLE VezOpenKeptFile(LPCSTR name) {
  if (name == nullptr || name[0] == '\0') {
    fail_with(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  int fd = posix_open_file(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, true, false, &created);
  if (fd < 0) {
    int e = errno;
    fail_with((DWORD)posix_win32_error(e, name));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    fail_with(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  fd = VezKeepDescriptor(fd);
  vez_handle *h = new_handle(HANDLE_FILE, fd, 0, name);
  if (h == nullptr) {
    close(fd);
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  posix_last_error = created ? 0 : ERROR_ALREADY_EXISTS;
  return h;
}

namespace {

void facts_from(const struct stat &st, VEZ_FILE_FACTS *facts) {
  facts->volume = (uint64_t)st.st_dev;
  facts->index = (uint64_t)st.st_ino;
  facts->size = (uint64_t)st.st_size;
  facts->links = (DWORD)st.st_nlink;
  facts->regular = S_ISREG(st.st_mode);
}

} // namespace

BOOL VezFileFacts(int fd, VEZ_FILE_FACTS *facts) {
  struct stat st;
  if (facts == nullptr || fstat(fd, &st) != 0) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  facts_from(st, facts);
  return TRUE;
}

BOOL VezFileFactsAtName(LPCSTR path, VEZ_FILE_FACTS *facts) {
  struct stat st;
  if (path == nullptr || facts == nullptr || posix_stat_at_name(path, &st) != 0) {
    int e = path == nullptr || facts == nullptr ? EINVAL : errno;
    fail_with((DWORD)posix_win32_error(e, path));
    return FALSE;
  }
  facts_from(st, facts);
  return TRUE;
}

BOOL VezHandleIsAtName(HANDLE handle, LPCSTR name) {
  vez_handle *h = as_handle(handle, HANDLE_FILE);
  struct stat held, named;
  if (h == nullptr || name == nullptr || fstat(h->fd, &held) != 0 || stat(name, &named) != 0)
    return FALSE;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  vez_handle *h = static_cast<vez_handle *>(handle);
  if (h < handles || h >= handles + MAX_HANDLES || h->kind == 0 || h->kind == HANDLE_FIND ||
      h->kind == HANDLE_CHANGE) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int rc = close(h->fd);
  int e = errno;
  h->kind = 0;
  if (rc != 0) {
    fail_with(win32_error(e));
    return FALSE;
  }
  return TRUE;
}

HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL subtree, DWORD filter) {
  if (path == nullptr || subtree) {
    fail_with(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  uint32_t mask = IN_ONLYDIR;
  if (filter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME))
    mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF;
  if (filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE)) mask |= IN_MODIFY;
  if (filter & FILE_NOTIFY_CHANGE_ATTRIBUTES) mask |= IN_ATTRIB;
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, path, mask) < 0) {
    int e = errno;
    if (fd >= 0) close(fd);
    fail_with((DWORD)posix_win32_error(e, path));
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = new_handle(HANDLE_CHANGE, fd, 0, path);
  if (h == nullptr) {
    close(fd);
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL FindNextChangeNotification(HANDLE change) {
  vez_handle *h = as_handle(change, HANDLE_CHANGE);
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  /* the changes told so far are taken: the handle is signalled again at the next one */
  char events[4096];
  while (read(h->fd, events, sizeof events) > 0) {
  }
  return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE change) {
  vez_handle *h = as_handle(change, HANDLE_CHANGE);
  if (h == nullptr) {
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close(h->fd);
  h->kind = 0;
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *list, BOOL all, DWORD milliseconds) {
  struct pollfd fds[MAXIMUM_WAIT_OBJECTS];
  if (all || count == 0 || count > MAXIMUM_WAIT_OBJECTS || list == nullptr) {
    fail_with(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; i++) {
    vez_handle *h = as_handle(list[i], HANDLE_CHANGE);
    if (h == nullptr) {
      fail_with(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    fds[i].fd = h->fd;
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  int timeout = milliseconds == INFINITE    ? -1
                : milliseconds > 0x7fffffff ? 0x7fffffff
                                            : (int)milliseconds;
  int n;
  while ((n = poll(fds, count, timeout)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    fail_with(win32_error(errno));
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; i++)
    if (fds[i].revents != 0) return WAIT_OBJECT_0 + i;
  return WAIT_TIMEOUT;
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD, DWORD size_high,
                          DWORD size_low, LPCSTR) {
  vez_handle *h = as_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    fail_with(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uint64_t want = ((uint64_t)size_high << 32) | size_low;
  uint64_t have = (uint64_t)st.st_size;
  if (want == 0) {
    if (have == 0) { /* an empty file cannot be mapped */
      fail_with(ERROR_FILE_INVALID);
      return nullptr;
    }
    want = have;
  }
  /* the mapped range gets its blocks now, as Windows gives them: a full disk fails the
     mapping here instead of faulting the first store into a hole */
  int e = posix_fallocate(h->fd, 0, (off_t)want);
  if (e == ENOSPC || e == EDQUOT) {
    fail_with(ERROR_DISK_FULL);
    return nullptr;
  }
  if (e != 0 && have < want && ftruncate(h->fd, (off_t)want) != 0) {
    e = errno;
    fail_with(win32_error(e));
    return nullptr;
  }
  int fd = fcntl(h->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    int e = errno;
    fail_with(win32_error(e));
    return nullptr;
  }
  vez_handle *m = new_handle(HANDLE_MAPPING, fd, want, h->path);
  if (m == nullptr) {
    close(fd);
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  posix_last_error = 0; /* a mapping of no name: none existed before */
  return m;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD, DWORD off_high, DWORD off_low, size_t length) {
  vez_handle *m = as_handle(mapping, HANDLE_MAPPING);
  uint64_t off = ((uint64_t)off_high << 32) | off_low;
  if (m == nullptr || off > m->map_size) {
    fail_with(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (length == 0) length = (size_t)(m->map_size - off);
  int slot = 0;
  while (slot < MAX_VIEWS && views[slot].addr != nullptr)
    slot++;
  if (slot == MAX_VIEWS || length == 0) {
    fail_with(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  watch_views();
  struct stat st;
  int fd = fcntl(m->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0 || fstat(fd, &st) != 0) {
    int e = errno;
    if (fd >= 0) close(fd);
    fail_with(win32_error(e));
    return nullptr;
  }
  void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd, (off_t)off);
  if (p == MAP_FAILED) {
    int e = errno;
    close(fd);
    fail_with(win32_error(e));
    return nullptr;
  }
  view_entry &v = views[slot];
  v.length = length;
  v.fallback_size = 0;
  v.lost = 0;
  v.fd = VezKeepDescriptor(fd);
  v.dev = st.st_dev;
  v.ino = st.st_ino;
  memcpy(v.path, m->path, sizeof v.path);
  v.next_look = 0;
  __atomic_store_n(&v.addr, p, __ATOMIC_RELEASE);
  return p;
}

BOOL UnmapViewOfFile(LPCVOID view) {
  view_entry *v = view_of(view);
  if (v == nullptr) {
    fail_with(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  __atomic_store_n(&v->addr, nullptr, __ATOMIC_RELEASE);
  munmap(const_cast<void *>(view), v->length);
  /* its descriptor closed only while it is still the one kept (a host may have taken it) */
  struct stat st;
  if (v->fd >= 0 && fstat(v->fd, &st) == 0 && st.st_dev == v->dev && st.st_ino == v->ino)
    close(v->fd);
  v->fd = -1;
  return TRUE;
}

void VezSetViewFallback(LPCVOID view, const void *fallback, size_t size) {
  view_entry *v = view_of(view);
  if (v == nullptr) return;
  if (size > VIEW_FALLBACK_MAX) size = VIEW_FALLBACK_MAX;
  memcpy(v->fallback, fallback, size);
  v->fallback_size = size;
}

BOOL VezViewLost(LPCVOID view) {
  view_entry *v = view_of(view);
  return v != nullptr && v->lost != 0;
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
  if (v->lost) return VEZ_VIEW_CUT;
  struct stat st;
  if (v->fd < 0 || fstat(v->fd, &st) != 0 || st.st_dev != v->dev || st.st_ino != v->ino) {
    /* closed or taken by the host: never ours to close any more */
    if (v->fd >= 0) descriptors_lost++;
    v->fd = view_file_again(*v);
    if (v->fd < 0 || fstat(v->fd, &st) != 0) return VEZ_VIEW_GONE;
  }
  size_t needed = v->fallback_size > 0 ? v->fallback_size : 1;
  if ((uint64_t)st.st_size < needed) {
    replace_view(*v);
    return VEZ_VIEW_CUT;
  }
  return st.st_nlink == 0 ? VEZ_VIEW_GONE : VEZ_VIEW_WHOLE;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buf, DWORD size) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    int e = errno;
    fail_with(win32_error(e));
    return 0;
  }
  if (size == 0) {
    fail_with(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if ((DWORD)n >= size) { /* cut and terminated, as Windows does */
    memcpy(buf, path, size - 1);
    buf[size - 1] = '\0';
    fail_with(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buf, path, (size_t)n);
  buf[n] = '\0';
  return (DWORD)n;
}

/*
** Without TMPDIR, the temporary directory is the user's own, as on Windows:
** /tmp/vez-UID, made private when missing, and used only while it is a real
** directory of the user's that nobody else may write (otherwise another
** user could read or plant its files): else the call fails, access denied.
*/
static bool private_temp_dir(char *dir, size_t size) {
  snprintf(dir, size, "/tmp/vez-%lu", (unsigned long)geteuid());
  if (mkdir(dir, 0700) != 0 && errno != EEXIST) return false;
  struct stat st;
  return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 022) == 0;
}

DWORD GetTempPathA(DWORD size, LPSTR buf) {
  const char *dir = getenv("TMPDIR");
  char own[64];
  if (dir == nullptr || dir[0] == '\0') {
    if (!private_temp_dir(own, sizeof own)) {
      fail_with(ERROR_ACCESS_DENIED);
      return 0;
    }
    dir = own;
  }
  size_t len = strlen(dir);
  bool add_sep = dir[len - 1] != '/';
  size_t need = len + (add_sep ? 1 : 0);
  if (need + 1 > size) return (DWORD)(need + 1);
  memcpy(buf, dir, len);
  if (add_sep) buf[len] = '/';
  buf[need] = '\0';
  return (DWORD)need;
}

void Sleep(DWORD milliseconds) {
  struct timespec ts = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

DWORD GetTickCount(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (DWORD)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

DWORD GetLastError(void) { return (DWORD)posix_last_error; }

void SetLastError(DWORD code) { posix_last_error = code; }

BOOL IsCharAlphaA(char c) { return isalpha((unsigned char)c) != 0; }

void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext) {
  const char *slash = strrchr(path, '/');
  const char *base = slash ? slash + 1 : path;
  const char *dot = strrchr(base, '.');
  const char *end = path + strlen(path);
  auto put = [](char *dest, size_t cap, const char *from, const char *to) {
    if (dest == nullptr) return;
    size_t n = (size_t)(to - from);
    if (n >= cap) n = cap - 1;
    memcpy(dest, from, n);
    dest[n] = '\0';
  };
  put(drive, _MAX_DRIVE, path, path);
  put(dir, _MAX_DIR, path, base);
  put(fname, _MAX_FNAME, base, dot ? dot : end);
  put(ext, _MAX_EXT, dot ? dot : end, end);
}

#endif /* VEZ_OS_POSIX */
