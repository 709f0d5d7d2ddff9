/*
** vezlog.h - the error and audit logging library, as the processes that link
** it see it: the shared settings records, initialisation, the entry points
** and the two level pointers. Usable from C and from C++.
**
** Threads: any number of threads may call every function here at once. A
** message that passes its level test is written whole, in turn with other
** threads' records (one lock per process serialises the writing; a record
** waits for it, it is never dropped for it). A level test itself takes no
** lock: it is one read through the level pointer. The level pointers may be
** read at any time. A report the library raises inside a record is dropped
** as nested, as on one thread. log__shut_error_audit may be called while
** other threads log: their later messages use the built-in defaults (the
** settings' mapping stays until the process ends). Every function leaves
** the caller's last-error code and errno as it found them. A process may
** fork while other threads log; the child can log.
**
** The error code of an error record is the caller's: on Windows the
** thread's last-error code, on POSIX systems errno, each as the caller left
** it before the call (the library's own reports carry the code of the
** system call that failed them).
**
** Every function takes any argument without a crash: a null name is the
** executable's name, a null source or description an empty one, null data
** or a length of 0 or less no data, a null counts pointer nothing; levels,
** lines and indexes may be any number (an index out of 0 to 63 uses the
** shared slot 64).
**
** Each record is written whole in one write at the log's end; a record a
** writer left torn (it died inside its write) is cut away by the next
** writer, and losses are told in the log itself (see log__drop_counts).
*/
#ifndef VEZLOG_H
#define VEZLOG_H

#include <stdint.h>

#include "vezlog_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error-logging settings, shared by every process. */
typedef struct ErrorInfo {
  int32_t hex_dumps;             /* 1 full dump; other values short form; -N also at most N bytes */
  int32_t level;                 /* error records are written only while this equals 1 */
  int32_t max_file_size;         /* in units of 512 bytes */
  int32_t error_notification;    /* 1: every error is announced on the notification device */
  char notification_device[256]; /* NUL-terminated, at most 254 characters */
} ErrorInfo;

/* Audit and device-message settings of one process index. */
typedef struct AuditInfo {
  int32_t hex_dumps;     /* as in ErrorInfo */
  int32_t level;         /* a message of level L is written when L <= level */
  int32_t max_file_size; /* in units of 512 bytes */
} AuditInfo;

#define VEZ_PROCESS_SLOTS 64 /* process indexes 0 to 63 */
#define VEZ_OVERFLOW_SLOT 64 /* shared by every process index of 64 and above */

/* The whole content of the data file: 1052 bytes, little-endian, no padding. */
typedef struct ErrorAuditSegment {
  ErrorInfo error;
  AuditInfo audit[VEZ_PROCESS_SLOTS + 1];
} ErrorAuditSegment;

/* Registers the process under name (null: the executable's name) and attaches. */
VEZLOG_API void log__init(const char *name);
/* Attaches with a process index of the caller's choosing. */
VEZLOG_API void log__init_error_audit(int index, const char *name);

/* Record a message; data may be null, a length of 0 or less means none. */
VEZLOG_API void log__log_error(int level, const char *source, int line, const char *description,
                               const void *data, int length);
VEZLOG_API void log__log_audit(int level, const char *source, int line, const char *description,
                               const void *data, int length);
VEZLOG_API void log__log_devmsg(int level, const char *source, int line, const char *description,
                                const void *data, int length);
/* Detaches from the settings; later messages use the built-in defaults. */
VEZLOG_API void log__shut_error_audit(void);

/*
** Records this process dropped, by reason, since it started. Every loss
** but nested is also told in the log itself: the next record this process
** writes is preceded by one of its own, "Records lost since MM/DD hh:mm:ss:"
** and the counts by these names.
*/
typedef struct log__drop_counts {
  uint32_t lock_held;       /* another process held the log's lock */
  uint32_t open_failed;     /* the log (or its lock file) could not be opened or created */
  uint32_t nested;          /* the library's own reports raised while another record was
                               being written (not told in the log) */
  uint32_t write_failed;    /* the write failed (a full disk): the log was cut back to
                               where the record began */
  uint32_t rotation_failed; /* not a drop: rotations that could not move the full log
                               aside, whose records went on at its end */
  uint32_t mended;          /* not a drop of this process: records another writer left torn
                               (it died inside its write), cut from the log's end */
  uint32_t notices_lost;    /* notices the notification device could not take at once */
} log__drop_counts;
/* a null counts pointer is ignored */
VEZLOG_API void log__get_drop_counts(log__drop_counts *counts);

/* The error and audit levels in force, read at every call. */
VEZLOG_API extern int32_t *log__error_level;
VEZLOG_API extern int32_t *log__audit_level;

#ifdef __cplusplus
}
#endif

#endif /* VEZLOG_H */
