/*
** sys.h - thin wrappers over the platform's memory, file and process calls.
*/
#ifndef VEZ_SYS_H
#define VEZ_SYS_H

#include <stddef.h>

void *sys__malloc(size_t size);
void sys__free(void *block);
int sys__open(const char *path, int flags, int mode);
int sys__creat(const char *path, int mode);
int sys__close(int fd);
/* cuts (or extends) the file to size bytes: 0, or -1 */
int sys__chsize(int fd, long long size);
int sys__write(int fd, const void *buf, unsigned int count);
int sys__read(int fd, void *buf, unsigned int count);
/* offsets and sizes are 64 bits wide on every build: a log may pass 2 GiB */
long long sys__lseek(int fd, long long offset, int origin);
int sys__access(const char *path, int mode);
int sys__system(const char *command);
/* one line of standard input without its line feed, at most size - 1 characters */
char *sys__gets(char *buf, int size);
char *sys__strcpy(char *dest, const char *src);
int sys__ioctl(...);
int sys__uname(...);
int sys__fcntl(...);
int sys__gethostname(...);

/*
** What a caller of the library may look at after a call: its last-error
** code and errno. Every entry point leaves both as it found them, whatever
** the library's own calls did to them.
*/
struct sys__caller_errors {
  unsigned long last_error;
  int errno_value;
};
sys__caller_errors sys__keep_caller_errors(void);
void sys__restore_caller_errors(const sys__caller_errors &kept);

#endif /* VEZ_SYS_H */
