/*
** win32.h - the Win32 and CRT subset used by the logging system, declared
** for POSIX systems and implemented by the other files of this directory.
**
** Only what the system calls is here, with the Windows values of every flag
** and error code, so that the same module code builds on both platforms.
** This header includes no POSIX header: only the implementation files do.
*/
#ifndef VEZ_POSIX_WIN32_H
#define VEZ_POSIX_WIN32_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HMODULE;
typedef DWORD REGSAM;
typedef struct vez_hkey *HKEY;
typedef HKEY *PHKEY;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAX_PATH 260
#define MAXDWORD 0xffffffffu
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

/* error codes, as GetLastError gives them */
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_FILE_INVALID 1006L
#define ERROR_BADDB 1009L

/* registry */
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_READ 0x20019u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

LONG RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegCloseKey(HKEY key);
#define ERROR_NO_MORE_ITEMS 259L
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD data_size);
/* where the registry lives, for messages: the registry file's path */
const char *VezRegistryLocation(void);

/* files, devices and mappings */
#define FILE_SHARE_DELETE 0x4u
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define PAGE_READWRITE 0x4u
#define FILE_MAP_WRITE 0x2u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE 0xFFFFFFFFu

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templ);
DWORD GetFileSize(HANDLE file, LPDWORD high);
BOOL ReadFile(HANDLE file, LPVOID buf, DWORD count, LPDWORD read, void *overlapped);

/* what a file is, and which: its volume and index tell it from every other */
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_DEVICE 0x40u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
DWORD GetFileAttributesA(LPCSTR name);
#define FILE_TYPE_UNKNOWN 0x0u
#define FILE_TYPE_DISK 0x1u
#define FILE_TYPE_CHAR 0x2u
#define FILE_TYPE_PIPE 0x3u
DWORD GetFileType(HANDLE file);

/* the names in a directory that match a pattern: the directory, a separator, then a
   name with wildcards ("*" for all); FindNextFileA gives the next one */
typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE find);

/* the system's own words for an error code: here, strerror's for what the call met */
#define FORMAT_MESSAGE_FROM_SYSTEM 0x1000u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x200u
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD code, DWORD language, LPSTR buf, DWORD size,
                     void *args);
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
DWORD SetFilePointer(HANDLE file, LONG distance, LONG *distance_high, DWORD method);
BOOL WriteFile(HANDLE file, LPCVOID buf, DWORD count, LPDWORD written, void *overlapped);
BOOL CloseHandle(HANDLE h);
/* a write to a pipe or device handle in PIPE_NOWAIT mode writes what fits now, never waits */
#define PIPE_WAIT 0x0u
#define PIPE_NOWAIT 0x1u
BOOL SetNamedPipeHandleState(HANDLE pipe, LPDWORD mode, LPDWORD max_collection,
                             LPDWORD collect_timeout);
#define MOVEFILE_REPLACE_EXISTING 0x1u
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);

/* locks on an open file, here always of the whole file: with LOCKFILE_FAIL_IMMEDIATELY a
   lock held by another open fails at once (ERROR_LOCK_VIOLATION), never waits */
typedef struct _OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  LPOVERLAPPED overlapped);
/*
** Not Win32, what the emulation must add to it: whether a handle's file is
** still the one at name (POSIX lets a file be removed or replaced while it
** is open).
*/
BOOL VezHandleIsAtName(HANDLE h, LPCSTR name);
/*
** And, since a lock file can be removed under its holder there, a lock on
** the open file itself, for what writers of one file must never do two at
** once (move it aside): tried for at most wait milliseconds (0: once), held
** until the descriptor's close. Readers and appends
** are not kept out.
*/
BOOL VezLockOpenFile(int fd, DWORD wait);

/*
** Whether files may stay open between uses without keeping another process
** from anything: on POSIX an open file keeps nobody out (a lock file is
** then locked with LockFileEx and the lock released with UnlockFileEx); on
** Windows it keeps others from moving the file or opening it exclusively,
** so files there are opened for each use.
*/
BOOL VezKeepFilesOpen(void);
/*
** A file kept open for reading and writing, created when missing as _open
** creates files (the same rules in a directory others may write), holding
** no lock of any kind; its descriptor lies high, away from the numbers a
** host program's own opens take.
*/
HANDLE VezOpenKeptFile(LPCSTR name);
/* moves a descriptor to keep high in the same way: the new one (the old one is closed) */
int VezKeepDescriptor(int fd);
/* lets go of a handle whose descriptor is no longer this process's (the host closed it, and
   may have opened a file of its own at its number): nothing is closed */
void VezForgetHandle(HANDLE h);
/*
** A host that closes descriptors it does not own closes them all, or
** reuses their numbers: the emulation's looks at the descriptors it keeps
** (VezViewCheck's, the watches') count each one found closed or taken;
** what else was kept open is not to be trusted then either.
*/
DWORD VezDescriptorsLost(void);

/*
** Watches on the names a writer relies on: every directory on the way to a
** path (the one the path's file lies in included), for a name made,
** removed or moved there, the directory itself moved, removed or changed in
** its mode or owner. VezWatchChanges counts the times anything watched was
** found changed, in one cheap call: the same count as at a caller's last
** full look means that nothing it watches has changed since (a writer then
** need not look at its log's name again). Where watching is not possible
** (no room for more watches, the system has none), VezWatchPath says so and
** the count changes at every call.
*/
BOOL VezWatchPath(LPCSTR path);
DWORD VezWatchChanges(void);
/* the count as the last VezWatchChanges found it, without a look (where nothing is
   watched, a new count at every call) */
DWORD VezWatchSeen(void);
/*
** A watch on the file a kept descriptor is open on: it counts as changed
** when the file is closed (the descriptor's close is its file's, when it is
** the only one), its mode, owner or links change, or it is moved or
** removed; with writes, when it is written or cut too. The watch's number,
** or -1 (none: every look is a full one); VezUnwatchFile takes it off once
** the file is let go. VezWatchView watches the file under a view so (its
** writes through mappings are not seen: only a cut or a write call).
*/
int VezWatchFile(int fd, BOOL writes);
void VezUnwatchFile(int watch);
int VezWatchView(LPCVOID view);

/* what a file is known by: which it is (its volume and index), its length and links */
typedef struct _VEZ_FILE_FACTS {
  uint64_t volume;
  uint64_t index;
  uint64_t size;
  DWORD links;
  BOOL regular; /* a regular file, as logs and lock files must be */
} VEZ_FILE_FACTS;
BOOL VezFileFacts(int fd, VEZ_FILE_FACTS *facts);
/* of the file a path names now: in a directory others may write, a link is not followed
   (the facts are the link's, no regular file) */
BOOL VezFileFactsAtName(LPCSTR path, VEZ_FILE_FACTS *facts);

/* how many times this process was forked into the one that runs this: what it holds open
   was opened by its parent when the count has changed */
DWORD VezForkCount(void);
/* how many children this process forked: each has what it held open then, so that a file
   it keeps is no longer closed by its own descriptor's close alone */
DWORD VezForksMade(void);
/* and whether a notice may go to a target (an open handle, else the file named) that the
   settings in settings_file name: a device or pipe may; a regular file only when everyone
   who may write settings_file may write it too (null settings_file: the built-in ones) */
BOOL VezNoticeTargetAllowed(HANDLE target, LPCSTR target_name, LPCSTR settings_file);
/*
** What the views of a mapping read once their file is cut under them
** (POSIX lets a mapped file be truncated): set before MapViewOfFile, the
** first size bytes of fallback (at most 4 KiB, zeros after them), which
** must stay valid until then. The view is then replaced, at once and
** whole, by private pages holding them, and VezViewLost tells it.
*/
void VezSetMappingFallback(HANDLE mapping, const void *fallback, size_t size);
BOOL VezViewLost(LPCVOID view);
/* the view made a view of another file (one that replaced its own at its name), at the
   same address and length, so that whoever holds a pointer into it reads the new file
   from now on; false (nothing changed) when file is shorter than the view's fallback */
BOOL VezRemapView(LPCVOID view, HANDLE file);
/*
** Looks at the file under a view: VEZ_VIEW_WHOLE; VEZ_VIEW_CUT when it is
** shorter than the view's fallback (cut, wholly or partway: the view then
** reads the fallback, replaced at once and whole, so no reader sees a mix);
** VEZ_VIEW_GONE when the file is no longer at its name (removed, or
** replaced by another) though the view is whole. One look at the file.
*/
#define VEZ_VIEW_WHOLE 0
#define VEZ_VIEW_CUT 1
#define VEZ_VIEW_GONE 2
int VezViewCheck(LPCVOID view);
/* what VezViewCheck does besides its look, alone: the views' fault handler put back in front
   of one a host installed after it (looked at once a second at most) */
void VezKeepFaultHandler(void);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES sa, DWORD protect, DWORD size_high,
                          DWORD size_low, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD off_high, DWORD off_low, size_t length);
BOOL UnmapViewOfFile(LPCVOID view);

/*
** Cryptography: the CNG calls, here over the system's libcrypto. An
** algorithm provider (SHA-256, or HMAC-SHA-256 with
** BCRYPT_ALG_HANDLE_HMAC_FLAG), hash objects made from it (a reusable one,
** BCRYPT_HASH_REUSABLE_FLAG, starts again after each BCryptFinishHash with
** its key), and random bytes. The hash object's memory is the
** implementation's (pass null and 0).
*/
typedef LONG NTSTATUS;
typedef uint32_t ULONG;
typedef unsigned char UCHAR;
typedef UCHAR *PUCHAR;
typedef const wchar_t *LPCWSTR;
typedef void *BCRYPT_ALG_HANDLE;
typedef void *BCRYPT_HASH_HANDLE;
#define BCRYPT_SHA256_ALGORITHM L"SHA256"
#define BCRYPT_RNG_ALGORITHM L"RNG"
#define BCRYPT_ALG_HANDLE_HMAC_FLAG 0x00000008u
#define BCRYPT_HASH_REUSABLE_FLAG 0x00000020u
#define BCRYPT_USE_SYSTEM_PREFERRED_RNG 0x00000002u
#define STATUS_SUCCESS ((NTSTATUS)0)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000Du)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBu)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017u)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001u)
#define BCRYPT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *algorithm, LPCWSTR id, LPCWSTR impl,
                                     ULONG flags);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE *hash, PUCHAR object,
                          ULONG object_length, PUCHAR secret, ULONG secret_length, ULONG flags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG length, ULONG flags);
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG length, ULONG flags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
NTSTATUS BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG length, ULONG flags);

/* a lock between the threads of one process, taken again by its holder at will */
typedef struct {
  alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);

/* process */
void Sleep(DWORD milliseconds);
DWORD GetTickCount(void);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size);
DWORD GetTempPathA(DWORD size, LPSTR buf);
DWORD GetLastError(void);
void SetLastError(DWORD code);
BOOL IsCharAlphaA(char c);
void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext);

/* the C runtime's low-level file calls, text mode unless _O_BINARY */
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
/* the emulation's own: a final symlink is not followed (the open fails), in any directory */
#define VEZ_O_NOFOLLOW 0x100000
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

int _open(const char *path, int flags, ...);
int _creat(const char *path, int pmode);
long long _lseeki64(int fd, long long offset, int origin);
int _write(int fd, const void *buf, unsigned int count);
int _read(int fd, void *buf, unsigned int count);
int _close(int fd);
int _dup(int fd);
int _isatty(int fd);
int _fileno(FILE *stream);
int _setmode(int fd, int mode);
/* 0, or the errno value of the failure */
int _chsize_s(int fd, long long size);
/* the local calendar time of *t: 0, or an errno value (the zone is read once per process) */
int localtime_s(struct tm *result, const time_t *t);
/* the UTC calendar time of *t: 0, or an errno value */
int gmtime_s(struct tm *result, const time_t *t);
int _unlink(const char *path);
int _access(const char *path, int mode);
/* the time value of a UTC calendar time (its fields normalised) */
time_t _mkgmtime(struct tm *tm);
/* "NAME=value" into the environment (the text is copied) */
int _putenv(const char *assignment);
/* a command run through the shell, its input or output a stream of the caller's */
FILE *_popen(const char *command, const char *mode);
int _pclose(FILE *stream);
/* a write to a pipe whose reader went away fails (EPIPE) instead of ending the process, as
   on Windows */
void VezIgnoreBrokenPipe(void);

/*
** Change notifications on a directory (inotify): the handle is signalled
** once a change of the kinds asked for happened in it, until
** FindNextChangeNotification asks for the next one. A handle can be waited
** for with WaitForMultipleObjects only, and only these handles.
*/
#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x00000004
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010
#define WAIT_OBJECT_0 0x00000000
#define WAIT_TIMEOUT 0x00000102
#define WAIT_FAILED 0xFFFFFFFF
#define INFINITE 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64
HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL subtree, DWORD filter);
BOOL FindNextChangeNotification(HANDLE change);
BOOL FindCloseChangeNotification(HANDLE change);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD milliseconds);

#endif /* VEZ_POSIX_WIN32_H */
