/*
** shm.h - the shared settings segment: where its data file lies, and mapping
** it once per process with a reference count.
*/
#ifndef VEZ_SHM_H
#define VEZ_SHM_H

#include <stddef.h>

#include "vez_defaults.h"
#include "vezlog.h"

static_assert(sizeof(ErrorInfo) == 272, "ErrorInfo is 272 bytes");
static_assert(sizeof(AuditInfo) == 12, "AuditInfo is 12 bytes");
static_assert(sizeof(ErrorAuditSegment) == 1052, "the segment is 1052 bytes");
static_assert(offsetof(ErrorInfo, error_notification) == 12, "flag at offset 12");
static_assert(offsetof(ErrorInfo, notification_device) == 16, "device at offset 16");
static_assert(offsetof(ErrorAuditSegment, audit) == 272, "slots from offset 272");

constexpr int SHM_PATH_SIZE = VEZ_PATH_SIZE;
constexpr int SHM_DEVICE_COPY = VEZ_DEVICE_SIZE; /* bytes copied into the device field */
constexpr char SHM_DATAFILE[] = "datafile.dat";

extern ErrorAuditSegment *shm__pMemorySeg;
/* the path of the data file mapped (empty when none is) */
extern char shm__data_file[SHM_PATH_SIZE];
extern int32_t shm__nMemoryCount;
/* the system's error code of the last attach that failed to map the file (0: none) */
extern uint32_t shm__attach_error;

/*
** This module reports nothing itself: what it must report, its callers
** report (as error records with its source reference) once its call
** returned. A report is its line and its words.
*/
constexpr char SHM_SOURCE[] = "..\\..\\src\\shm";
struct shm_report {
  int line; /* 0: nothing to report */
  const char *message;
  bool named; /* its data is the data file's name (shm__data_file) */
};

/*
** size > 0: create a missing file and map at least size bytes; 0: map an
** existing file. Null where it cannot be mapped: shm__attach_error holds
** the system's code and *failure (when given) the report.
*/
ErrorAuditSegment *shm__attach_shared_mem(const char *file, int size,
                                          shm_report *failure = nullptr);
/* the report when the count went below 0 (it is put back to 0 first), with the count it
   had in *count; none otherwise */
shm_report shm__detach_shared_mem(int32_t *count = nullptr);

/*
** What a view reads where its data file is cut under it: the library hands
** its built-in defaults here before it attaches. The segment module knows
** no defaults of its own.
*/
void shm__set_fallback(const ErrorAuditSegment *defaults);

/*
** One look at the data file under the view. SHM_WHOLE; SHM_CUT: it was
** cut (to nothing or partway), and the view reads the fallback from now
** on, whole; SHM_REPLACED: the file at its name is another one now (an
** operator replaced it), and the view, at the same address, is a view of
** that one: every pointer into the segment reads the new file. A data
** file removed is kept in use as it was, and looked for again once a
** second. Each of these is said once, through shm__news.
*/
constexpr int SHM_WHOLE = 0;
constexpr int SHM_CUT = 1;
constexpr int SHM_REPLACED = 2;
int shm__check_segment(void);

/*
** Whether the data file was cut under this process's view (another user
** emptied it): the view then reads the built-in defaults, as a process
** without a data file would use.
*/
bool shm__segment_lost(void);
/* the reports of what the looks at the data file found and did not say yet, each given
   once: up to SHM_NEWS_MAX into news; how many */
constexpr int SHM_NEWS_MAX = 3;
int shm__news(shm_report news[SHM_NEWS_MAX]);

/* The data file's path: "LOG_DATAFILE", else "LOG_DIRNAME" or the temporary directory. */
void shm__data_file_path(char path[SHM_PATH_SIZE]);
/* the data file attached, else the one the configuration names (found once); the sealing
   state and its closes lie beside it */
const char *shm__data_file_in_use(void);

/* Stores a notification device name as every writer of the field must. */
void shm__set_notification_device(ErrorInfo *info, const char *name);

#endif /* VEZ_SHM_H */
