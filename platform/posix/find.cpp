/*
** find.cpp - POSIX emulation of the Win32 directory search
** (FindFirstFileA) and change notification (FindFirstChangeNotificationA,
** over inotify) that the programs use.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <fnmatch.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handles.h"

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
      data->dwFileAttributes = posix_attributes(st);
      data->ftCreationTime = posix_file_time(st.st_ctim);
      data->ftLastAccessTime = posix_file_time(st.st_atim);
      data->ftLastWriteTime = posix_file_time(st.st_mtim);
      data->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
      data->nFileSizeLow = (DWORD)st.st_size;
    }
    return TRUE;
  }
  posix_fail(errno != 0 ? posix_error(errno) : ERROR_NO_MORE_FILES);
  return FALSE;
}

} // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  if (pattern == nullptr || data == nullptr || strlen(pattern) >= MAX_PATH) {
    posix_fail(ERROR_INVALID_PARAMETER);
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
    posix_fail(e == ENOENT ? ERROR_PATH_NOT_FOUND : posix_error(e));
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = posix_new_handle(HANDLE_FIND, dirfd(d), 0);
  if (h == nullptr) {
    closedir(d);
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  h->dir = d;
  snprintf(h->pattern, sizeof h->pattern, "%s", slash != nullptr ? slash + 1 : pattern);
  snprintf(h->dir_path, sizeof h->dir_path, "%s", dir);
  if (!next_match(h, data)) {
    DWORD code = GetLastError();
    FindClose(h);
    posix_fail(code == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : code);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) {
  vez_handle *h = posix_handle(find, HANDLE_FIND);
  if (h == nullptr || data == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return next_match(h, data);
}

BOOL FindClose(HANDLE find) {
  vez_handle *h = posix_handle(find, HANDLE_FIND);
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  closedir(h->dir);
  h->dir = nullptr;
  h->kind = 0;
  return TRUE;
}

HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL subtree, DWORD filter) {
  if (path == nullptr || subtree) {
    posix_fail(ERROR_INVALID_PARAMETER);
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
    posix_fail((DWORD)posix_win32_error(e, path));
    return INVALID_HANDLE_VALUE;
  }
  vez_handle *h = posix_new_handle(HANDLE_CHANGE, fd, 0, path);
  if (h == nullptr) {
    close(fd);
    posix_fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

BOOL FindNextChangeNotification(HANDLE change) {
  vez_handle *h = posix_handle(change, HANDLE_CHANGE);
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  /* the changes told so far are taken: the handle is signalled again at the next one */
  char events[4096];
  while (read(h->fd, events, sizeof events) > 0) {
  }
  return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE change) {
  vez_handle *h = posix_handle(change, HANDLE_CHANGE);
  if (h == nullptr) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close(h->fd);
  h->kind = 0;
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *list, BOOL all, DWORD milliseconds) {
  struct pollfd fds[MAXIMUM_WAIT_OBJECTS];
  if (all || count == 0 || count > MAXIMUM_WAIT_OBJECTS || list == nullptr) {
    posix_fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; i++) {
    vez_handle *h = posix_handle(list[i], HANDLE_CHANGE);
    if (h == nullptr) {
      posix_fail(ERROR_INVALID_HANDLE);
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
    posix_fail(posix_error(errno));
    return WAIT_FAILED;
  }
  for (DWORD i = 0; i < count; i++)
    if (fds[i].revents != 0) return WAIT_OBJECT_0 + i;
  return WAIT_TIMEOUT;
}

#endif /* VEZ_OS_POSIX */
