/*
** create.cpp - opening files that may be created, with explicit modes.
**
** A file that exists is opened as it is; one that does not is created
** exclusively, so that the call knows it made the file and sets the file's
** mode itself. A file made or removed by another process in between is
** tried again.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include "create.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* a file that vanishes between the two opens is tried again, a few times */
constexpr int CREATE_TRIES = 8;

mode_t mode_for(const char *path, bool write_allowed) {
  char dir[MAX_PATH];
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(dir, ".");
  } else {
    size_t n = slash == path ? 1 : (size_t)(slash - path);
    if (n >= sizeof dir) n = sizeof dir - 1;
    memcpy(dir, path, n);
    dir[n] = '\0';
  }
  struct stat st;
  bool shared = stat(dir, &st) == 0 && (st.st_mode & S_IWGRP) && !(st.st_mode & S_IWOTH);
  mode_t mode = shared ? 0660 : 0600;
  return write_allowed ? mode : mode & 0444;
}

} // namespace

thread_local unsigned long posix_last_error = 0;

unsigned long posix_win32_error(int e, const char *path) {
  switch (e) {
  case 0: return ERROR_SUCCESS;
  case ENOENT: {
    if (path == nullptr) return ERROR_FILE_NOT_FOUND;
    /* Windows says which part is missing: the file, or a directory on the way */
    char dir[MAX_PATH];
    const char *slash = strrchr(path, '/');
    if (slash == nullptr || slash == path) return ERROR_FILE_NOT_FOUND;
    size_t n = (size_t)(slash - path) < sizeof dir ? (size_t)(slash - path) : sizeof dir - 1;
    memcpy(dir, path, n);
    dir[n] = '\0';
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                        : ERROR_PATH_NOT_FOUND;
  }
  case ENOTDIR:
  case ENAMETOOLONG:
  case ENXIO: return ERROR_PATH_NOT_FOUND;
  case EEXIST: return ERROR_FILE_EXISTS;
  case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
  case ENOSPC:
  case EDQUOT: return ERROR_DISK_FULL;
  case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
  case EBADF: return ERROR_INVALID_HANDLE;
  case EINVAL: return ERROR_INVALID_PARAMETER;
  default: return ERROR_ACCESS_DENIED;
  }
}

int posix_open_file(const char *path, int flags, bool write_allowed, bool *created) {
  *created = false;
  if (!(flags & O_CREAT)) return open(path, flags);
  for (int i = 0; i < CREATE_TRIES; i++) {
    /* most opens find the file there: one call */
    int fd = (flags & O_EXCL) ? -1 : open(path, flags & ~O_CREAT);
    if (fd >= 0 || ((flags & O_EXCL) == 0 && errno != ENOENT)) return fd;
    fd = open(path, flags | O_EXCL, 0600);
    if (fd >= 0) {
      *created = true;
      if (fchmod(fd, mode_for(path, write_allowed)) != 0) {
        int e = errno;
        close(fd);
        unlink(path);
        errno = e;
        return -1;
      }
      return fd;
    }
    if (errno != EEXIST || (flags & O_EXCL)) return -1;
  }
  return -1;
}

#endif /* VEZ_OS_POSIX */
