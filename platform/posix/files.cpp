/*
** files.cpp - POSIX emulation of the Win32 file calls that the logging
** system uses: the handle table, opening (share modes as locks), reading,
** writing, moving, locking and closing, and the files the library keeps
** open.
**
** A share mode of 0 is an exclusive open: a non-waiting flock held for the
** handle's life, which the kernel drops when the process dies; any other
** open takes a shared flock, so that an exclusive open and every other open
** through here exclude each other, as on Windows. GetLastError is a code of
** the thread's own, set by each call here as Windows sets it, never by the
** C library.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handles.h"

namespace {

constexpr int MAX_HANDLES = 256;
vez_handle handles[MAX_HANDLES];

/* kept descriptors found closed or taken by the host: written and read under the library's
   write lock */
DWORD descriptors_lost = 0;

/* the end of a read or write: the count moved, or the failure's code */
BOOL transferred(ssize_t n, LPDWORD count) {
  if (n < 0) {
    int e = errno;
    posix_fail(posix_error(e));
    return FALSE;
  }
  if (count != nullptr) *count = (DWORD)n;
  return TRUE;
}

} // namespace

vez_handle *posix_new_handle(int kind, int fd, uint64_t map_size, const char *path) {
  for (vez_handle &h : handles) {
    if (h.kind == 0) {
      h.kind = kind;
      h.fd = fd;
      h.map_size = map_size;
      h.fallback = nullptr;
      h.fallback_size = 0;
      h.dir = nullptr;
      snprintf(h.path, sizeof h.path, "%s", strlen(path) < sizeof h.path ? path : "");
      return &h;
    }
  }
  return nullptr;
}

vez_handle *posix_handle(HANDLE h, int kind) {
  vez_handle *v = static_cast<vez_handle *>(h);
  if (v < handles || v >= handles + MAX_HANDLES) return nullptr;
  return v->kind == kind ? v : nullptr;
}

vez_handle *posix_closable_handle(HANDLE handle) {
  vez_handle *h = static_cast<vez_handle *>(handle);
  if (h < handles || h >= handles + MAX_HANDLES || h->kind == 0 || h->kind == HANDLE_FIND ||
      h->kind == HANDLE_CHANGE)
    return nullptr;
  return h;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
  if (name == nullptr) {
    posix_fail(ERROR_INVALID_PARAMETER);
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
    posix_fail(ERROR_PATH_NOT_FOUND);
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
  default: posix_fail(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  /* an existing device may be written (a notice to a terminal or a pipe), or read */
  int fd = posix_open_file(path, flags, true, disposition == OPEN_EXISTING, &created);
  if (fd < 0) {
    int e = errno;
    posix_fail((DWORD)posix_win32_error(e, path));
    return INVALID_HANDLE_VALUE;
  }
  if (nonblock) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  /* opened for writing, a directory has already failed (EISDIR); for reading, refuse it here */
  struct stat st;
  if (!(access & GENERIC_WRITE) && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    close(fd);
    posix_fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  /* share mode 0 excludes every other open, and any other open excludes it */
  if (!device && flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 &&
      errno == EWOULDBLOCK) {
    close(fd);
    posix_fail(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = posix_new_handle(HANDLE_FILE, fd, 0, path);
  if (h == nullptr) {
    close(fd);
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  /* success sets the code too: 183 for an OPEN_ALWAYS that found the file there */
  posix_last_error = disposition == OPEN_ALWAYS && !device && !created ? ERROR_ALREADY_EXISTS : 0;
  return h;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    posix_fail(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = (uint64_t)st.st_size;
  if (high != nullptr) *high = (DWORD)(size >> 32);
  return (DWORD)size;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  if (h == nullptr || method > FILE_END) {
    posix_fail(h == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t offset = distance_high != nullptr
                     ? (off_t)(((uint64_t)(uint32_t)*distance_high << 32) | (uint32_t)distance)
                     : (off_t)distance;
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  off_t at = lseek(h->fd, offset, whence);
  if (at < 0) {
    int e = errno;
    posix_fail(e == ESPIPE ? ERROR_INVALID_FUNCTION : posix_error(e));
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) *distance_high = (LONG)((uint64_t)at >> 32);
  return (DWORD)at;
}

BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD count, LPDWORD written, void *) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  if (written != nullptr) *written = 0;
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n = write(h->fd, buf, count);
  if (n < 0 && errno == EAGAIN) n = 0; /* a handle in PIPE_NOWAIT mode with no room: nothing */
  return transferred(n, written);
}

BOOL ReadFile(HANDLE file, LPVOID buf, DWORD count, LPDWORD got, void *) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  if (got != nullptr) *got = 0;
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n;
  while ((n = read(h->fd, buf, count)) < 0 && errno == EINTR) {
  }
  return transferred(n, got);
}

BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD, LPDWORD) {
  vez_handle *h = posix_handle(pipe, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  /* pipes and devices only: a file's writes never wait for a reader */
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    posix_fail(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (mode != nullptr) {
    int flags = fcntl(h->fd, F_GETFL);
    flags = (*mode & PIPE_NOWAIT) ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (fcntl(h->fd, F_SETFL, flags) != 0) {
      int e = errno;
      posix_fail(posix_error(e));
      return FALSE;
    }
  }
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (from == nullptr || to == nullptr) {
    posix_fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  /* without replacing: atomic where the file system can (two movers of one name never
     both win) */
  if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return TRUE;
    int e = errno;
    if (e != EINVAL && e != ENOSYS) {
      posix_fail(e == EEXIST ? ERROR_ALREADY_EXISTS : (DWORD)posix_win32_error(e, from));
      return FALSE;
    }
    struct stat st;
    if (lstat(to, &st) == 0) {
      posix_fail(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
  }
  if (rename(from, to) != 0) {
    int e = errno;
    posix_fail((DWORD)posix_win32_error(e, from));
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
  vez_handle *h = posix_handle(target, HANDLE_FILE);
  if (h != nullptr ? fstat(h->fd, &t) != 0 : target_name == nullptr || stat(target_name, &t) != 0)
    return h == nullptr; /* a target that cannot be seen: nothing to say of it */
  if (!S_ISREG(t.st_mode) || settings_file == nullptr) return TRUE;
  if (stat(settings_file, &s) != 0) return FALSE;
  if (s.st_mode & S_IWOTH) return (t.st_mode & S_IWOTH) != 0;
  if (s.st_mode & S_IWGRP) return t.st_gid == s.st_gid && (t.st_mode & S_IWGRP) != 0;
  return t.st_uid == s.st_uid;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD, DWORD, LPOVERLAPPED) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int op = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? LOCK_EX : LOCK_SH;
  if (flags & LOCKFILE_FAIL_IMMEDIATELY) op |= LOCK_NB;
  int rc;
  while ((rc = flock(h->fd, op)) != 0 && errno == EINTR) {
  }
  if (rc == 0) return TRUE;
  int e = errno;
  posix_fail(e == EWOULDBLOCK ? ERROR_LOCK_VIOLATION : posix_error(e));
  return FALSE;
}

BOOL UnlockFileEx(HANDLE file, DWORD, DWORD, DWORD, LPOVERLAPPED) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  if (h == nullptr || flock(h->fd, LOCK_UN) != 0) {
    posix_fail(h == nullptr ? ERROR_INVALID_HANDLE : posix_error(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL VezKeepFilesOpen(void) { return TRUE; }

DWORD VezDescriptorsLost(void) { return descriptors_lost; }

void posix_descriptor_lost(void) { descriptors_lost++; }

void VezForgetHandle(HANDLE handle) {
  vez_handle *h = posix_handle(handle, HANDLE_FILE);
  if (h != nullptr) h->kind = 0;
}

HANDLE VezOpenKeptFile(LPCSTR name) {
  if (name == nullptr || name[0] == '\0') {
    posix_fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool created = false;
  int fd = posix_open_file(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, true, false, &created);
  if (fd < 0) {
    int e = errno;
    posix_fail((DWORD)posix_win32_error(e, name));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    posix_fail(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  fd = VezKeepDescriptor(fd);
  vez_handle *h = posix_new_handle(HANDLE_FILE, fd, 0, name);
  if (h == nullptr) {
    close(fd);
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  posix_last_error = created ? 0 : ERROR_ALREADY_EXISTS;
  return h;
}

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  vez_handle *h = posix_closable_handle(handle);
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int rc = close(h->fd);
  int e = errno;
  h->kind = 0;
  if (rc != 0) {
    posix_fail(posix_error(e));
    return FALSE;
  }
  return TRUE;
}

#endif /* VEZ_OS_POSIX */
