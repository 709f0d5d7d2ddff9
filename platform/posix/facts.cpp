/*
** facts.cpp - POSIX emulation of the Win32 calls that tell what a file is
** and what a name names (identities, attributes, types), the executable's
** and the temporary directory's names, the system's words for a code, and
** the thread's last-error code and clock.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <ctype.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handles.h"

FILETIME posix_file_time(const struct timespec &t) {
  uint64_t v = ((uint64_t)t.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)t.tv_nsec / 100;
  return FILETIME{(DWORD)v, (DWORD)(v >> 32)};
}

DWORD posix_attributes(const struct stat &st) {
  DWORD a = S_ISDIR(st.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
            : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                  : FILE_ATTRIBUTE_DEVICE;
  if (!(st.st_mode & 0222)) a |= FILE_ATTRIBUTE_READONLY;
  return a;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || info == nullptr || fstat(h->fd, &st) != 0) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  memset(info, 0, sizeof *info);
  info->dwFileAttributes = posix_attributes(st);
  info->ftCreationTime = posix_file_time(st.st_ctim);
  info->ftLastAccessTime = posix_file_time(st.st_atim);
  info->ftLastWriteTime = posix_file_time(st.st_mtim);
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
    posix_fail((DWORD)posix_win32_error(e, name));
    return INVALID_FILE_ATTRIBUTES;
  }
  return posix_attributes(st);
}

DWORD GetFileType(HANDLE file) {
  vez_handle *h = posix_handle(file, HANDLE_FILE);
  struct stat st;
  if (h == nullptr || fstat(h->fd, &st) != 0) {
    posix_fail(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  posix_last_error = 0;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
  return FILE_TYPE_PIPE;
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
    posix_fail(ERROR_INVALID_PARAMETER);
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
    posix_fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  facts_from(st, facts);
  return TRUE;
}

BOOL VezFileFactsAtName(LPCSTR path, VEZ_FILE_FACTS *facts) {
  struct stat st;
  if (path == nullptr || facts == nullptr || posix_stat_at_name(path, &st) != 0) {
    int e = path == nullptr || facts == nullptr ? EINVAL : errno;
    posix_fail((DWORD)posix_win32_error(e, path));
    return FALSE;
  }
  facts_from(st, facts);
  return TRUE;
}

BOOL VezHandleIsAtName(HANDLE handle, LPCSTR name) {
  vez_handle *h = posix_handle(handle, HANDLE_FILE);
  struct stat held, named;
  if (h == nullptr || name == nullptr || fstat(h->fd, &held) != 0 || stat(name, &named) != 0)
    return FALSE;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buf, DWORD size) {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    int e = errno;
    posix_fail(posix_error(e));
    return 0;
  }
  if (size == 0) {
    posix_fail(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if ((DWORD)n >= size) { /* cut and terminated, as Windows does */
    memcpy(buf, path, size - 1);
    buf[size - 1] = '\0';
    posix_fail(ERROR_INSUFFICIENT_BUFFER);
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
      posix_fail(ERROR_ACCESS_DENIED);
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
