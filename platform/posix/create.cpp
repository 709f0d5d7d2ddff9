/*
** create.cpp - opening files that may be created, with explicit modes, so
** that nobody else who may write a directory can make this process open,
** create or cut a file it did not mean to.
**
** A directory is shared when someone other than the user (and root) may
** write it: its group or others may, or it belongs to another user. In a
** shared directory an open follows no final symlink, and a file opened
** for writing must be a regular file with one link, the user's own, the
** directory owner's, or (in a directory of a group that may write it) one
** of that group's; a path's components that lie in a shared directory are
** opened one at a time without following links (links an administrator
** made in directories only root may write still work). A file that exists
** is opened as it is and cut only once it passed; one that does not is
** created exclusively, so that the call knows it made the file and sets
** the file's mode itself.
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
  bool shared;       /* someone other than the user and root may write it */
  bool others_write; /* users other than its owner and group may add files to it */
  bool group_write;  /* its group may, others may not: one product's users share it */
  uid_t owner;
  gid_t group;
};

dir_facts facts_from(const struct stat &st) {
  dir_facts f;
  f.known = true;
  f.others_write = (st.st_mode & S_IWOTH) != 0;
  f.group_write = (st.st_mode & S_IWGRP) != 0 && !f.others_write;
  f.shared =
      f.others_write || (st.st_mode & S_IWGRP) != 0 || (st.st_uid != geteuid() && st.st_uid != 0);
  f.owner = st.st_uid;
  f.group = st.st_gid;
  return f;
}

/* the facts of a directory named by a path that is safe to resolve, as it is now (a
   directory that was private may have been opened to others since); unknown when missing */
dir_facts facts_at(const char *dir) {
  struct stat st;
  dir_facts f = {false, false, false, false, 0, 0};
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return f;
  return facts_from(st);
}

mode_t mode_for(const dir_facts &dir, bool write_allowed) {
  mode_t mode = dir.group_write ? 0660 : 0600;
  return write_allowed ? mode : mode & 0444;
}

/*
** Whether a file found in a shared directory may be written: a regular file
** (or a device where one is asked for), with one link, and the user's own,
** the directory owner's, or one of the directory's group where that group
** may write the directory (files the product's users made for each other).
*/
bool acceptable(int fd, const dir_facts &dir, bool device_allowed) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return device_allowed && !S_ISDIR(st.st_mode);
  if (st.st_nlink != 1) return false;
  if (st.st_uid == geteuid() || st.st_uid == dir.owner) return true;
  return dir.group_write && st.st_gid == dir.group;
}

/*
** Directories reached through a shared one, held open once they were
** reached safely (most records of a process go to the same two or three
** directories): later opens in them start there. A held descriptor is used
** only while it is still the directory at its path (a directory renamed or
** replaced is let go, and its path walked again) and still this process's
** (a host that closes descriptors it does not own may have reused its
** number): both are looked at, through the descriptor and through the
** path, each time it is used. What the directory is (its owner and mode:
** whether it is shared) is read from it then too, never kept from before.
** The table is the process's, guarded by the caller's lock: the library's
** write lock (log.cpp), which every entry point that reaches this layer
** holds; the programs run on one thread.
*/
constexpr int WALKED_CACHE = 8;
constexpr size_t DIR_PATH = 1024;
struct walked_dir {
  char path[DIR_PATH];
  size_t len = 0;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};
walked_dir walked[WALKED_CACHE];
int walked_next = 0;

/* the held descriptor of the directory dir (len bytes of it), still that directory and still
   ours, with its facts now; -1 when there is none */
int walked_lookup(const char *dir, size_t len, dir_facts *facts) {
  for (walked_dir &w : walked) {
    if (w.fd < 0 || w.len != len || memcmp(w.path, dir, len) != 0) continue;
    struct stat held, named;
    bool ours = fstat(w.fd, &held) == 0 && held.st_dev == w.dev && held.st_ino == w.ino;
    if (ours && stat(w.path, &named) == 0 && named.st_dev == w.dev && named.st_ino == w.ino) {
      *facts = facts_from(held);
      return w.fd;
    }
    /* renamed or replaced: let go; a descriptor that is no longer ours is not closed */
    if (ours) close(w.fd);
    w.fd = -1;
    return -1;
  }
  return -1;
}

/* fd, the directory dir (len bytes, less than DIR_PATH) described by st, held from now on */
void walked_keep(const char *dir, size_t len, int fd, const struct stat &st) {
  walked_dir &w = walked[walked_next];
  walked_next = (walked_next + 1) % WALKED_CACHE;
  if (w.fd >= 0) close(w.fd);
  memcpy(w.path, dir, len);
  w.path[len] = '\0';
  w.len = len;
  w.fd = fd;
  w.dev = st.st_dev;
  w.ino = st.st_ino;
}

/*
** A directory descriptor for the directory of path, its last component
** apart (*name): components that lie in a shared directory are opened one
** at a time, following no link. -1 with errno when it cannot be had; -2
** when the whole path is safe to resolve as it is (no directory on its way
** is shared), *dir then holding the facts of its directory. The descriptor
** is the process's to keep: the caller does not close it.
*/
int directory_of(const char *path, const char **name, dir_facts *dir) {
  const char *slash = strrchr(path, '/');
  *name = slash != nullptr ? slash + 1 : path;
  char prefix[DIR_PATH];
  size_t dir_len = slash == nullptr ? 0 : slash == path ? 1 : (size_t)(slash - path);
  if (dir_len >= DIR_PATH) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int kept = walked_lookup(path, dir_len, dir);
  if (kept >= 0) return kept;
  /* the directories on the way, from the first ("." or "/"), each prefix up to a separator */
  bool absolute = path[0] == '/';
  size_t at = 0;
  for (;;) {
    if (at == 0) {
      strcpy(prefix, absolute ? "/" : ".");
    } else {
      memcpy(prefix, path, at);
      prefix[at] = '\0';
    }
    dir_facts f = facts_at(prefix);
    if (!f.known) {
      errno = ENOENT;
      return -1;
    }
    if (f.shared) break;
    if (at >= dir_len) {
      *dir = f;
      return -2; /* nothing shared on the way */
    }
    const char *next = strchr(path + (at == 0 ? 1 : at + 1), '/');
    at = next == nullptr || (size_t)(next - path) > dir_len ? dir_len : (size_t)(next - path);
  }
  /* a shared directory: from here on, a component at a time */
  int fd = open(prefix, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const char *rest = path + at;
  const char *dir_end = path + dir_len;
  for (;;) {
    while (rest < dir_end && *rest == '/')
      rest++;
    if (rest >= dir_end) break;
    const char *end = strchr(rest, '/');
    if (end == nullptr || end > dir_end) end = dir_end;
    if ((size_t)(end - rest) >= DIR_PATH) {
      close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    char component[DIR_PATH];
    memcpy(component, rest, (size_t)(end - rest));
    component[end - rest] = '\0';
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      return -1;
    }
    int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (facts_from(st).shared ? O_NOFOLLOW : 0);
    int next = openat(fd, component, flags);
    int e = errno;
    close(fd);
    if (next < 0) {
      errno = e == ENOTDIR ? ELOOP : e; /* a link where a directory must be */
      return -1;
    }
    fd = next;
    rest = end;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return -1;
  }
  *dir = facts_from(st);
  fd = VezKeepDescriptor(fd);
  walked_keep(path, dir_len, fd, st);
  return fd;
}

} // namespace

thread_local unsigned long posix_last_error = 0;

namespace {

/* for each Win32 code lately given, the errno value behind it: the system's own words */
constexpr int REMEMBERED = 8;
struct code_errno {
  unsigned long code;
  int e;
};
thread_local code_errno remembered[REMEMBERED];
thread_local int remembered_next = 0;

unsigned long mapped(int e, const char *path);

} // namespace

void posix_remember_errno(unsigned long code, int e) {
  for (code_errno &r : remembered)
    if (r.e != 0 && r.code == code) {
      r.e = e;
      return;
    }
  remembered[remembered_next] = code_errno{code, e};
  remembered_next = (remembered_next + 1) % REMEMBERED;
}

int posix_errno_of(unsigned long code) {
  for (const code_errno &r : remembered)
    if (r.e != 0 && r.code == code) return r.e;
  return 0;
}

unsigned long posix_win32_error(int e, const char *path) {
  unsigned long code = mapped(e, path);
  if (e != 0) posix_remember_errno(code, e);
  return code;
}

namespace {

unsigned long mapped(int e, const char *path) {
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

} // namespace

int posix_stat_at_name(const char *path, struct stat *st) {
  /* a directory held since it was reached through a shared one is looked at first, and the
     file in it without following a link; any other path as it resolves now (the caller
     compares what it finds with a file it opened safely, and opens the name again, the
     safe way, where they differ) */
  const char *slash = strrchr(path, '/');
  if (slash != nullptr && slash != path) {
    dir_facts dir;
    int dirfd = walked_lookup(path, (size_t)(slash - path), &dir);
    if (dirfd >= 0) return fstatat(dirfd, slash + 1, st, AT_SYMLINK_NOFOLLOW);
  }
  return stat(path, st);
}

int posix_open_file(const char *path, int flags, bool write_allowed, bool device_allowed,
                    bool *created) {
  *created = false;
  const char *name = path;
  dir_facts dir;
  int dirfd = directory_of(path, &name, &dir);
  if (dirfd == -1) return -1;
  int at = dirfd == -2 ? AT_FDCWD : dirfd;
  const char *target = dirfd == -2 ? path : name;
  bool writing = (flags & (O_WRONLY | O_RDWR)) != 0;
  /* nothing is cut before it is known to be a file this open may cut */
  bool cut = (flags & O_TRUNC) != 0;
  flags &= ~O_TRUNC;
  if (dir.shared) flags |= O_NOFOLLOW;
  int fd = -1, e = 0;
  for (int i = 0; i < CREATE_TRIES; i++) {
    /* most opens find the file there: one call */
    fd = (flags & O_EXCL) ? -1 : openat(at, target, flags & ~O_CREAT);
    if (fd >= 0) {
      if (dir.shared && (writing || !device_allowed) && !acceptable(fd, dir, device_allowed)) {
        close(fd);
        fd = -1;
        e = EACCES;
      } else if (cut && ftruncate(fd, 0) != 0) {
        e = errno;
        close(fd);
        fd = -1;
      }
      break;
    }
    e = errno;
    if (!(flags & O_CREAT) || ((flags & O_EXCL) == 0 && e != ENOENT)) break;
    fd = openat(at, target, flags | O_EXCL, 0600);
    if (fd >= 0) {
      *created = true;
      if (fchmod(fd, mode_for(dir, write_allowed)) != 0) {
        e = errno;
        close(fd);
        unlinkat(at, target, 0);
        fd = -1;
      }
      break;
    }
    e = errno;
    if (e != EEXIST || (flags & O_EXCL)) break;
  }
  if (fd < 0) errno = e;
  return fd;
}

#endif /* VEZ_OS_POSIX */
