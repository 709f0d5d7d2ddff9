/*
** crt.cpp - POSIX emulation of the C runtime's low-level file calls.
**
** Descriptors open in text mode unless _O_BINARY is given. In text mode a
** line feed written is stored as carriage return + line feed, translated in
** one buffer so that one _write stays one write to the file.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "create.h"

namespace {

/* descriptors opened in binary mode; all others are text. Guarded by the caller's lock (the
   library's write lock, held by every entry point that reaches this layer; the programs run
   on one thread) */
constexpr int MAX_TRACKED_FD = 4096;
bool binary_fd[MAX_TRACKED_FD];

/* a whole record of the writer's buffer, translated, fits: one record is one write */
constexpr size_t TEXT_CHUNK = 8192;

void set_binary(int fd, bool binary) {
  if (fd >= 0 && fd < MAX_TRACKED_FD) binary_fd[fd] = binary;
}

bool is_binary(int fd) { return fd >= 0 && fd < MAX_TRACKED_FD && binary_fd[fd]; }

int posix_flags(int flags) {
  int f = O_CLOEXEC;
  switch (flags & (_O_WRONLY | _O_RDWR)) {
  case _O_WRONLY: f |= O_WRONLY; break;
  case _O_RDWR: f |= O_RDWR; break;
  default: f |= O_RDONLY; break;
  }
  if (flags & _O_APPEND) f |= O_APPEND;
  if (flags & _O_CREAT) f |= O_CREAT;
  if (flags & _O_TRUNC) f |= O_TRUNC;
  if (flags & _O_EXCL) f |= O_EXCL;
  if (flags & VEZ_O_NOFOLLOW) f |= O_NOFOLLOW;
  return f;
}

/* Writes the translated text in one call; returns the count of source bytes stored. */
int write_text(int fd, const char *src, unsigned int count, char *out, size_t out_cap) {
  size_t n = 0;
  const char *p = src, *end = src + count;
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
    size_t run = (size_t)((nl != nullptr ? nl : end) - p);
    if (n + run + 2 > out_cap) break;
    memcpy(out + n, p, run);
    n += run;
    p += run;
    if (nl != nullptr) {
      out[n++] = '\r';
      out[n++] = '\n';
      p++;
    }
  }
  ssize_t w = write(fd, out, n);
  if (w < 0) return -1;
  if ((size_t)w == n) return (int)count;
  /* a short write: count the source bytes that got out whole */
  size_t done = 0;
  int taken = 0;
  for (unsigned int i = 0; i < count; i++) {
    size_t width = src[i] == '\n' ? 2 : 1;
    if (done + width > (size_t)w) break;
    done += width;
    taken++;
  }
  return taken;
}

/*
** The C runtime opens through CreateFile, which sets the last-error code on
** success too: 183 when a creating open found the file there, else 0; a
** failure's code names what was missing.
*/
void set_last_error(int fd, const char *path, bool found_existing) {
  if (fd < 0) {
    int e = errno;
    posix_last_error = posix_win32_error(e, path);
    errno = e;
  } else {
    posix_last_error = found_existing ? ERROR_ALREADY_EXISTS : 0;
  }
}

/* a failed call sets the last-error code as the system call under it does on Windows */
int failed_if(int rc) {
  if (rc < 0) {
    int e = errno;
    posix_last_error = posix_win32_error(e, nullptr);
    errno = e;
  }
  return rc;
}

} // namespace

int _open(const char *path, int flags, ...) {
  int pmode = 0;
  if (flags & _O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    pmode = va_arg(ap, int);
    va_end(ap);
  }
  bool created = false;
  int fd = posix_open_file(path, posix_flags(flags), (pmode & _S_IWRITE) != 0, false, &created);
  set_last_error(fd, path, (flags & _O_CREAT) != 0 && !created);
  if (fd >= 0) set_binary(fd, (flags & _O_BINARY) != 0);
  return fd;
}

int _creat(const char *path, int pmode) {
  bool created = false;
  int fd = posix_open_file(path, O_CLOEXEC | O_RDWR | O_CREAT | O_TRUNC, (pmode & _S_IWRITE) != 0,
                           false, &created);
  set_last_error(fd, path, !created);
  if (fd >= 0) set_binary(fd, false);
  return fd;
}

int _write(int fd, const void *buf, unsigned int count) {
  const char *src = static_cast<const char *>(buf);
  if (is_binary(fd) || memchr(src, '\n', count) == nullptr)
    return failed_if((int)write(fd, src, count));
  size_t need = (size_t)count * 2;
  if (need <= TEXT_CHUNK) {
    char out[TEXT_CHUNK];
    return failed_if(write_text(fd, src, count, out, sizeof out));
  }
  std::vector<char> out(need);
  return failed_if(write_text(fd, src, count, out.data(), out.size()));
}

int _read(int fd, void *buf, unsigned int count) {
  ssize_t n = read(fd, buf, count);
  if (n <= 0 || is_binary(fd)) return (int)n;
  char *p = static_cast<char *>(buf);
  ssize_t out = 0;
  for (ssize_t i = 0; i < n; i++) {
    if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n') continue;
    p[out++] = p[i];
  }
  return (int)out;
}

int _close(int fd) {
  set_binary(fd, false);
  return failed_if(close(fd));
}

int _dup(int fd) {
  int d = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (d >= 0) set_binary(d, is_binary(fd));
  return d;
}

int _fileno(FILE *stream) { return fileno(stream); }

int _isatty(int fd) { return isatty(fd); }

time_t _mkgmtime(struct tm *tm) { return timegm(tm); }

int _putenv(const char *assignment) {
  const char *eq = assignment != nullptr ? strchr(assignment, '=') : nullptr;
  if (eq == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::string name(assignment, (size_t)(eq - assignment));
  return setenv(name.c_str(), eq + 1, 1);
}

FILE *_popen(const char *command, const char *mode) { return popen(command, mode); }

int _pclose(FILE *stream) { return pclose(stream); }

void VezIgnoreBrokenPipe(void) { signal(SIGPIPE, SIG_IGN); }

int _setmode(int fd, int mode) {
  bool was_binary = is_binary(fd);
  set_binary(fd, (mode & _O_BINARY) != 0);
  return was_binary ? _O_BINARY : _O_TEXT;
}

namespace {

/* a lock of the whole file that belongs to the open file, not to the process: two opens of
   one process exclude each other too, and a fork's child shares its parent's */
int whole_file_lock(int fd, short type) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
  return fcntl(fd, F_OFD_SETLK, &lock);
#else
  return fcntl(fd, F_SETLK, &lock);
#endif
}

long long monotonic_us() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

BOOL VezLockOpenFile(int fd, DWORD wait) {
  /* tried again after short pauses, never for longer than asked: whoever holds it (a
     program outside the product may) never stops a writer for good */
  long long deadline = monotonic_us() + (long long)wait * 1000;
  long pause_us = 20;
  for (;;) {
    if (whole_file_lock(fd, F_WRLCK) == 0) return TRUE;
    int e = errno;
    if (e != EINTR && e != EAGAIN && e != EACCES) {
      posix_last_error = posix_win32_error(e, nullptr);
      return FALSE;
    }
    long long left = deadline - monotonic_us();
    if (left <= 0) {
      posix_last_error = ERROR_LOCK_VIOLATION;
      return FALSE;
    }
    struct timespec ts = {0, (long)(pause_us < left ? pause_us : left) * 1000};
    nanosleep(&ts, nullptr);
    if (pause_us < 1000) pause_us *= 2;
  }
}

int VezKeepDescriptor(int fd) {
  /* Above the numbers a program's own opens take (the lowest free one each time): a host
     that closes a number twice, or reuses one it closed, meets its own, not ours. Where the
     limit leaves no such room the descriptor stays where it is. */
  constexpr int KEPT_FROM = 256;
  if (fd < 0 || fd >= KEPT_FROM) return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, KEPT_FROM);
  if (high < 0) return fd;
  set_binary(high, is_binary(fd));
  set_binary(fd, false);
  close(fd);
  return high;
}

int _chsize_s(int fd, long long size) {
  if (size < 0) return EINVAL;
  return failed_if(ftruncate(fd, (off_t)size)) == 0 ? 0 : errno;
}

long long _lseeki64(int fd, long long offset, int origin) {
  long long at = (long long)lseek(fd, (off_t)offset, origin);
  failed_if(at < 0 ? -1 : 0);
  return at;
}

int gmtime_s(struct tm *result, const time_t *t) {
  if (result == nullptr || t == nullptr) return EINVAL;
  return gmtime_r(t, result) != nullptr ? 0 : EINVAL;
}

int localtime_s(struct tm *result, const time_t *t) {
  /* the zone is read once: without TZ, glibc's localtime looks at the zone file again at
     every call (a system call per record), localtime_r only once tzset has run */
  static pthread_once_t zone_read = PTHREAD_ONCE_INIT;
  pthread_once(&zone_read, [] { tzset(); });
  if (result == nullptr || t == nullptr) return EINVAL;
  return localtime_r(t, result) != nullptr ? 0 : EINVAL;
}

int _unlink(const char *path) { return failed_if(unlink(path)); }

int _access(const char *path, int mode) {
  int m = 0;
  if (mode & 2) m |= W_OK;
  if (mode & 4) m |= R_OK;
  return access(path, m == 0 ? F_OK : m);
}

#endif /* VEZ_OS_POSIX */
