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

/* what an open needs to know of the directory a file lies in */
struct dir_facts {
  bool known;
  bool others_write; /* users other than its owner and group may add files to it */
  bool group_write;  /* its group may, others may not: one product's users share it */
  uid_t owner;
};

/*
** Directories as first seen by this process, in a fixed table: a directory
** that only its owner and group may write cannot be changed under the
** process by anybody else, so one look serves every later open in it.
*/
constexpr int DIR_CACHE = 16;
constexpr size_t DIR_PATH = 1024;
struct dir_entry {
  char path[DIR_PATH];
  dir_facts facts;
};
dir_entry dir_cache[DIR_CACHE];
int dir_next = 0;

void dir_of(const char *path, char dir[DIR_PATH]) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(dir, ".");
    return;
  }
  size_t n = slash == path ? 1 : (size_t)(slash - path);
  if (n >= DIR_PATH) n = DIR_PATH - 1;
  memcpy(dir, path, n);
  dir[n] = '\0';
}

dir_facts facts_of(const char *path) {
  char dir[DIR_PATH];
  dir_of(path, dir);
  for (const dir_entry &e : dir_cache)
    if (e.facts.known && strcmp(e.path, dir) == 0) return e.facts;
  struct stat st;
  dir_facts f = {false, false, false, 0};
  if (stat(dir, &st) != 0) return f; /* the open itself will say what is wrong */
  f.known = true;
  f.others_write = (st.st_mode & S_IWOTH) != 0;
  f.group_write = (st.st_mode & S_IWGRP) != 0 && !f.others_write;
  f.owner = st.st_uid;
  /* a directory others may write is looked at afresh at every open */
  if (!f.others_write) {
    dir_entry &e = dir_cache[dir_next];
    dir_next = (dir_next + 1) % DIR_CACHE;
    strcpy(e.path, dir);
    e.facts = f;
  }
  return f;
}

mode_t mode_for(const dir_facts &dir, bool write_allowed) {
  mode_t mode = dir.group_write ? 0660 : 0600;
  return write_allowed ? mode : mode & 0444;
}

/*
** In a directory others may write, a file found there must be the user's own
** or the directory owner's: anybody else's may be a trap laid for this user
** (the rule the kernel's protected_regular applies, kept whatever the kernel
** is set to).
*/
bool foreign(int fd, const dir_facts &dir) {
  struct stat st;
  if (fstat(fd, &st) != 0) return true;
  return st.st_uid != geteuid() && st.st_uid != dir.owner;
}

} // namespace

thread_local unsigned long posix_last_error = 0;
thread_local int posix_last_errno = 0;

unsigned long posix_win32_error(int e, const char *path) {
  posix_last_errno = e;
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
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
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
  dir_facts dir = facts_of(path);
  /* in a directory others may write, a final symlink is never followed */
  if (dir.others_write) flags |= O_NOFOLLOW;
  for (int i = 0; i < CREATE_TRIES; i++) {
    /* most opens find the file there: one call */
    int fd = (flags & O_EXCL) ? -1 : open(path, flags & ~O_CREAT);
    if (fd >= 0) {
      if (dir.others_write && foreign(fd, dir)) {
        close(fd);
        errno = EACCES;
        return -1;
      }
      return fd;
    }
    if (!(flags & O_CREAT) || ((flags & O_EXCL) == 0 && errno != ENOENT)) return -1;
    fd = open(path, flags | O_EXCL, 0600);
    if (fd >= 0) {
      *created = true;
      if (fchmod(fd, mode_for(dir, write_allowed)) != 0) {
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
