/*
** sys.cpp - system call wrappers. Most pass straight through; the memory
** wrappers also audit every block obtained and released (level 15).
*/
#include "sys.h"

#include <errno.h>

#include "log_level.h"
#include "platform.h"
#include "vezlog.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\sys";

/* the audit carries the block's address as it is stored in memory */
void audit_block(int line, const char *what, uintptr_t address) {
  if (log_level__audit() >= 15)
    log__log_audit(15, source, line, what, &address, (int)sizeof address);
}

} // namespace

void *sys__malloc(size_t size) {
  void *block = malloc(size);
  if (block != nullptr) audit_block(178, "SYS allocate memory", (uintptr_t)block);
  return block;
}

void sys__free(void *block) {
  if (block == nullptr) return;
  uintptr_t address = (uintptr_t)block;
  free(block);
  audit_block(135, "SYS free memory", address);
}

int sys__open(const char *path, int flags, int mode) {
  return mode == 0 ? _open(path, flags) : _open(path, flags, mode);
}

int sys__creat(const char *path, int mode) { return _creat(path, mode); }
int sys__close(int fd) { return _close(fd); }
int sys__chsize(int fd, long long size) { return _chsize_s(fd, size) == 0 ? 0 : -1; }
int sys__write(int fd, const void *buf, unsigned int count) { return _write(fd, buf, count); }
int sys__read(int fd, void *buf, unsigned int count) { return _read(fd, buf, count); }
long long sys__lseek(int fd, long long offset, int origin) { return _lseeki64(fd, offset, origin); }
int sys__access(const char *path, int mode) { return _access(path, mode); }
int sys__system(const char *command) { return system(command); }

/* a line longer than the buffer is cut there and the rest of it read away */
char *sys__gets(char *buf, int size) {
  if (size <= 0 || fgets(buf, size, stdin) == nullptr) return nullptr;
  size_t len = strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[len - 1] = '\0';
  } else {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
  }
  return buf;
}

char *sys__strcpy(char *dest, const char *src) { return strcpy(dest, src); }
int sys__ioctl(...) { return -1; }
int sys__uname(...) { return -1; }
int sys__fcntl(...) { return -1; }
int sys__gethostname(...) { return -1; }

sys__caller_errors sys__keep_caller_errors(void) {
  return sys__caller_errors{GetLastError(), errno};
}

void sys__restore_caller_errors(const sys__caller_errors &kept) {
  SetLastError((DWORD)kept.last_error);
  errno = kept.errno_value;
}
