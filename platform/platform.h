/*
** platform.h - the one door from the logging system to the operating system.
**
** Every module reaches the Win32 and C runtime calls it uses through this
** header. On Windows it is the real <windows.h> and CRT; elsewhere it
** declares the small Win32 subset that platform/posix/ emulates. This is the
** only file that decides which platform it is built for.
*/
#ifndef VEZ_PLATFORM_H
#define VEZ_PLATFORM_H

#if defined(_WIN32)

#define VEZ_OS_WIN 1
#define VEZ_OS_POSIX 0
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <process.h>
#include <stdint.h>

/* where the registry lives, for messages */
inline const char *VezRegistryLocation(void) { return "HKEY_LOCAL_MACHINE"; }

/* the C runtime follows no links of its own making: no flag for it */
#define VEZ_O_NOFOLLOW 0

/* the error code a caller of the library left: the thread's last-error code */
inline DWORD VezCallerErrorCode(void) { return GetLastError(); }

/* whether a handle's file is still the one at name: a file opened without delete
   sharing can be neither removed nor replaced, so it always is */
inline BOOL VezHandleIsAtName(HANDLE, const char *) { return TRUE; }

/* writers of a file opened through the C runtime exclude each other by its lock file
   alone, which no process can remove while it is held */
inline BOOL VezLockOpenFile(int, DWORD) { return TRUE; }

/* an open file keeps others from moving it or opening it exclusively: files are opened for
   each use, and a lock file is locked by opening it without sharing */
inline BOOL VezKeepFilesOpen(void) { return FALSE; }
inline HANDLE VezOpenKeptFile(LPCSTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return INVALID_HANDLE_VALUE;
}
inline int VezKeepDescriptor(int fd) { return fd; }
inline void VezForgetHandle(HANDLE) {}
inline DWORD VezDescriptorsLost(void) { return 0; }
/* no watches: a log is opened for each record there, its name looked at then */
inline BOOL VezWatchPath(LPCSTR) { return FALSE; }
inline DWORD VezWatchChanges(void) {
  static DWORD changes = 0;
  return ++changes;
}
inline DWORD VezWatchSeen(void) { return VezWatchChanges(); }
inline int VezWatchFile(int, BOOL) { return -1; }
inline void VezUnwatchFile(int) {}
inline int VezWatchView(LPCVOID) { return -1; }

/* what a file is known by: which it is (its volume and index), its length and links */
typedef struct _VEZ_FILE_FACTS {
  uint64_t volume;
  uint64_t index;
  uint64_t size;
  DWORD links;
  BOOL regular;
} VEZ_FILE_FACTS;
inline BOOL VezHandleFacts(HANDLE h, VEZ_FILE_FACTS *facts) {
  BY_HANDLE_FILE_INFORMATION i;
  if (!GetFileInformationByHandle(h, &i)) return FALSE;
  facts->volume = i.dwVolumeSerialNumber;
  facts->index = ((uint64_t)i.nFileIndexHigh << 32) | i.nFileIndexLow;
  facts->size = ((uint64_t)i.nFileSizeHigh << 32) | i.nFileSizeLow;
  facts->links = i.nNumberOfLinks;
  facts->regular =
      !(i.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && GetFileType(h) == FILE_TYPE_DISK;
  return TRUE;
}
inline BOOL VezFileFacts(int fd, VEZ_FILE_FACTS *facts) {
  HANDLE h = (HANDLE)_get_osfhandle(fd);
  return h != INVALID_HANDLE_VALUE && VezHandleFacts(h, facts);
}
inline BOOL VezFileFactsAtName(LPCSTR path, VEZ_FILE_FACTS *facts) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BOOL ok = VezHandleFacts(h, facts);
  CloseHandle(h);
  return ok;
}

/* no fork: what a process holds open, it opened */
inline DWORD VezForkCount(void) { return 0; }
inline DWORD VezForksMade(void) { return 0; }

/* the system's own access control decides who may write a notification target */
inline BOOL VezNoticeTargetAllowed(HANDLE, LPCSTR, LPCSTR) { return TRUE; }

/* a mapped file cannot be cut while it is mapped: a view never loses its file */
inline void VezSetMappingFallback(HANDLE, const void *, size_t) {}
inline BOOL VezViewLost(LPCVOID) { return FALSE; }
inline BOOL VezRemapView(LPCVOID, HANDLE) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
#define VEZ_VIEW_WHOLE 0
#define VEZ_VIEW_CUT 1
#define VEZ_VIEW_GONE 2
inline int VezViewCheck(LPCVOID) { return VEZ_VIEW_WHOLE; }
inline void VezKeepFaultHandler(void) {}

/* a write to a pipe whose reader went away fails there already */
inline void VezIgnoreBrokenPipe(void) {}

/* the device that takes and discards any output */
#define VEZ_NULL_DEVICE "NUL"

/* separator put between a directory and a file name */
#define VEZ_DIRSEP "\\"
#define VEZ_DIRSEP_CHAR '\\'

#else

#define VEZ_OS_WIN 0
#define VEZ_OS_POSIX 1
#include <errno.h>
#include "posix/win32.h"

/* the error code a caller of the library left: errno, a POSIX program's own */
inline DWORD VezCallerErrorCode(void) { return (DWORD)errno; }

#define VEZ_NULL_DEVICE "/dev/null"

#define VEZ_DIRSEP "/"
#define VEZ_DIRSEP_CHAR '/'

#endif

/*
** GNU getopt, with argument permutation and its own diagnostics, on both
** builds: glibc's getopt is that; mingw's plain getopt does not permute, its
** getopt_long with no long options does.
*/
#include <getopt.h>
inline int vez_getopt(int argc, char *const argv[], const char *options,
                      const struct option *long_options = nullptr) {
#if VEZ_OS_WIN
  static const struct option no_long_options[] = {{nullptr, 0, nullptr, 0}};
  return getopt_long(argc, argv, options, long_options ? long_options : no_long_options, nullptr);
#else
  if (long_options == nullptr) return getopt(argc, argv, options);
  return getopt_long(argc, argv, options, long_options, nullptr);
#endif
}

#endif /* VEZ_PLATFORM_H */
