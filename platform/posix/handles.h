/*
** handles.h - the emulation's handle table: every HANDLE that the Win32
** calls of this directory give out is an entry of it, around a descriptor.
** The table is the process's, guarded by the caller's lock: the library's
** write lock (log.cpp), which every entry point that reaches this layer
** holds; the programs run on one thread. Used by the files of this
** directory only.
*/
#ifndef VEZ_POSIX_HANDLES_H
#define VEZ_POSIX_HANDLES_H

#include "../platform.h"

#include <dirent.h>

#include "create.h"

struct stat;
struct timespec;

enum { HANDLE_FILE = 1, HANDLE_MAPPING = 2, HANDLE_FIND = 3, HANDLE_CHANGE = 4 };

struct vez_handle {
  int kind; /* 0: a free entry */
  int fd;
  uint64_t map_size;    /* mappings only: their length, */
  const void *fallback; /* and what their views read once the file is cut (VezSetMappingFallback) */
  size_t fallback_size;
  char path[MAX_PATH]; /* files and mappings: the name it was opened by, where it fits */
  DIR *dir;            /* searches only: the directory, and the pattern its names must match */
  char pattern[MAX_PATH];
  char dir_path[MAX_PATH];
};

/* a free entry made a handle of kind; null when the table is full (opening a lock or a
   device allocates nothing) */
vez_handle *posix_new_handle(int kind, int fd, uint64_t map_size, const char *path = "");
/* h's entry where h is a handle of kind; null otherwise */
vez_handle *posix_handle(HANDLE h, int kind);
/* h's entry where h is any handle CloseHandle closes; null otherwise */
vez_handle *posix_closable_handle(HANDLE h);

/* the thread's last-error code set, as a failing Win32 call sets it */
inline void posix_fail(DWORD code) { posix_last_error = code; }
inline DWORD posix_error(int e) { return (DWORD)posix_win32_error(e, nullptr); }

/* a time of the file system as Windows counts it, and a file's attributes */
FILETIME posix_file_time(const struct timespec &t);
DWORD posix_attributes(const struct stat &st);

#endif /* VEZ_POSIX_HANDLES_H */
