/*
** log.cpp - library initialisation and the logging entry points.
**
** The library initialises itself on the first message that passes its
** level test: it finds the process's name and index, maps the data file
** and points its settings and level pointers into the shared segment.
** Without a segment it switches to built-in defaults and records that
** switch. The levels are read through the pointers at every call, so a
** change made with aud is in force at the next message.
*/
#include "log.h"

#include <errno.h>

#include "log_audf.h"
#include "log_cfg.h"
#include "log_close.h"
#include "log_defe.h"
#include "log_defl.h"
#include "log_devf.h"
#include "log_errf.h"
#include "log_file.h"
#include "log_level.h"
#include "log_msg.h"
#include "log_not.h"
#include "log_said.h"
#include "log_set.h"
#include "log_stde.h"
#include "flsem.h"
#include "platform.h"
#include "shm.h"
#include "sys.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\log";
const char cfg_source[] = "..\\..\\src\\log_cfg";
constexpr int INIT_AUDIT_LEVEL = 8;

char procname[LOG_PROCNAME_SIZE];
int32_t procindex = 0;
int16_t bInitialized = 0;
/* set while this thread writes a record: what it raises meanwhile is nested */
thread_local int16_t logging_in_process_flag = 0;
int32_t fallback_error_level = 1;
int32_t fallback_audit_level = 0;

/*
** The write path, from a message that passed its level test to its record
** done, is one thread's at a time: the library's state, the files and the
** counters are the lock holder's. A report raised by the holder inside its
** own record takes the lock again (it is recursive) and is then dropped as
** nested; another thread's record waits its turn. Made on first use; the
** C++ runtime makes that first use safe between threads.
*/
CRITICAL_SECTION *write_lock() {
  static CRITICAL_SECTION lock;
  static const bool made = (InitializeCriticalSection(&lock), true);
  (void)made;
  return &lock;
}

void name_from_executable() {
  char buf[LOG_PROCNAME_SIZE];
  memset(buf, 0, sizeof buf);
  char *p = buf;
  getProcName(&p);
  memcpy(procname, buf, sizeof procname);
}

void set_procname(const char *name) {
  strncpy(procname, name, LOG_PROCNAME_SIZE);
  procname[LOG_PROCNAME_SIZE - 1] = '\0';
}

/* the least time a process that exits with losses untold waits for its log's lock */
constexpr uint32_t EXIT_WAIT = 1000;
/* how long a writer's close waits for each log's lock (a timer's close waits longer) */
constexpr uint32_t WRITER_CLOSE_WAIT = 100;
const char close_source[] = "..\\..\\src\\log_close";
bool closing = false;         /* a close is being made (its own record asks for none) */
bool reporting_after = false; /* the reports of a record are being written */
bool exit_told = false;       /* the losses at the process's end will be told */

/* the write path's lock, waited for at most wait milliseconds: whether it was had */
bool lock_writes_within(uint32_t wait) {
  DWORD start = GetTickCount();
  while (!TryEnterCriticalSection(write_lock())) {
    if (GetTickCount() - start >= wait) return false;
    Sleep(1);
  }
  return true;
}

/*
** At the process's end (exit, return from main, the library's unload): the
** losses not told yet, in a record of their own. The write path's lock is
** waited for no longer than a log's would be: a thread that was ended while
** it held it (as Windows ends them before a library's unload) never gives
** it up. The lock wait itself is read under it.
*/
void tell_at_exit() {
  uint32_t wait = flsem__last_lock_wait();
  if (!lock_writes_within(wait > EXIT_WAIT ? wait : EXIT_WAIT)) return;
  if (logging_in_process_flag == 0 && log_msg__losses_untold()) {
    wait = flsem__lock_wait();
    log_msg__tell_losses(wait > EXIT_WAIT ? wait : EXIT_WAIT);
  }
  LeaveCriticalSection(write_lock());
}

void after_record(uint32_t said, const char *path);

/*
** The intervals of sealing that ended closed (this process's own logs and
** the ones named among those covered), and the last close told in the
** error log as a record of its own: its data the close whole, so that a
** collected copy of the log carries it off the host.
*/
int seal_intervals(const char *const *named, int count, uint32_t wait, bool may_defer,
                   log_close_result *result) {
  static log_close_result mine;
  log_close_result *out = result != nullptr ? result : &mine;
  if (procname[0] == '\0') name_from_executable();
  char own[3][LOG_PATH_SIZE];
  log_errf__get_error_file_name(own[0]);
  log_audf__get_audit_file_name(own[1], procname);
  log_devf__get_devmsg_file_name(own[2]);
  const char *logs[3 + LOG_CLOSE_LOGS_MAX];
  int n = 0;
  for (auto &o : own)
    logs[n++] = o;
  for (int i = 0; i < count && n < (int)(sizeof logs / sizeof logs[0]); i++)
    logs[n++] = named[i];
  closing = true;
  int rc = log_close__close(shm__data_file_in_use(), logs, n, time(nullptr), wait, may_defer, out);
  if (rc == LOG_CLOSE_DONE && logging_in_process_flag == 0) {
    char desc[200];
    snprintf(desc, sizeof desc, "Seals closed: intervals %llu to %llu, %d logs%s",
             (unsigned long long)out->first, (unsigned long long)out->last, out->logs,
             out->held > 0 ? " (some held by another: not covered)" : "");
    AuditInfo settings = log_set__error_info != nullptr ? log_set__of_error(log_set__error_info)
                                                        : AuditInfo{1, 1, 1024};
    settings.hex_dumps = 1; /* every byte of it */
    logging_in_process_flag = 1;
    uint32_t said = log_msg__log_message(own[0], 1, 0, &settings, 0, procname, close_source, 100,
                                         desc, out->close, (int)out->length);
    logging_in_process_flag = 0;
    after_record(said, own[0]);
  }
  closing = false;
  return rc;
}

/*
** What a record met that must not be reported inside it (the report would
** be dropped as nested) is reported here, each a record of its own, once
** the record in hand is done: path is its log's.
*/
void after_record(uint32_t said, const char *path) {
  if (!exit_told && log_msg__losses_untold()) {
    exit_told = true;
    atexit(tell_at_exit);
  }
  if (reporting_after) {
    /* met by a report's own record: dropped */
    for (uint32_t bits = said; bits != 0; bits &= bits - 1)
      log_msg__drops.nested++;
  } else if (said != 0) {
    reporting_after = true;
    char error_log[LOG_PATH_SIZE];
    log_errf__get_error_file_name(error_log);
    for (int kind = 0; kind < LOG_REC_SAID_KINDS; kind++) {
      if (!(said & (1u << kind))) continue;
      /* the error log refused is told of in its own loss record, once it is sound again */
      if ((1u << kind) == LOG_REC_SAID_NOT_A_LOG && strcmp(path, error_log) == 0) continue;
      log_said_report r;
      log_said__report(1u << kind, path, &r);
      if (r.code != 0) SetLastError(r.code);
      log__report_error(r.source, r.line, r.message, r.length > 0 ? r.data : nullptr, r.length);
    }
    reporting_after = false;
  }
  /* the data file's news are told here only, not after a report's own record (where a
     report would be dropped as nested): what a report's record met is told next round */
  static bool telling = false;
  shm_report news[SHM_NEWS_MAX];
  for (int round = 0, n; !telling && round < SHM_NEWS_MAX && (n = shm__news(news)) > 0; round++) {
    telling = true;
    for (int i = 0; i < n; i++)
      log__report_error(SHM_SOURCE, news[i].line, news[i].message,
                        news[i].named ? shm__data_file : nullptr,
                        news[i].named ? (int)strlen(shm__data_file) : 0);
    telling = false;
  }
  /* a close left for a held log is tried again a second later, not after every record */
  static time_t close_deferred_at = 0;
  time_t now = time(nullptr);
  if (!closing && now != close_deferred_at && log_close__due(now) &&
      seal_intervals(nullptr, 0, WRITER_CLOSE_WAIT, true, nullptr) == LOG_CLOSE_DEFERRED)
    close_deferred_at = now;
  static bool registry_reported = false;
  uint32_t code = log_cfg__registry_error();
  if (code != 0 && !registry_reported) {
    registry_reported = true;
    const char *where = VezRegistryLocation();
    SetLastError(code);
    log__report_error(cfg_source, 96, "Configuration cannot be read, built-in defaults used", where,
                      (int)strlen(where));
  }
}

/* the audit and device-message roads differ only in these */
struct audit_road {
  AuditInfo *fallback;
  int switch_line;
  bool named_default;
  bool devmsg;
};

/* called once the level test has passed */
void log_audit_like(const audit_road &road, int level, const char *src, int line,
                    const char *description, const void *data, int length) {
  if (bInitialized == 0) {
    log__init(nullptr);
    bInitialized = 1;
  }
  log_set__look(false);
  if (log_set__audit_info == nullptr) {
    log_set__audit_info = road.fallback;
    if (road.named_default)
      set_procname("default");
    else
      name_from_executable();
    log_defl__set_default_log_info(log_set__audit_info, 0, 0);
    log__report_error(source, road.switch_line, "Switching to default audit info", procname,
                      LOG_PROCNAME_SIZE);
    /* the report may have switched the error side, which names the executable: the
       device-message switch is the later one, and its name stays */
    if (road.named_default) set_procname("default");
  }
  if (logging_in_process_flag == 1) {
    log_stde__log_to_stderr(0, level, log_set__audit_info, 0, procname, src, line, description,
                            data, length);
    return;
  }
  logging_in_process_flag = 1;
  char path[LOG_PATH_SIZE];
  if (road.devmsg)
    log_devf__get_devmsg_file_name(path);
  else
    log_audf__get_audit_file_name(path, procname);
  AuditInfo settings = log_set__of_audit(log_set__audit_info);
  uint32_t said = log_msg__log_message(path, 0, level, &settings, 0, procname, src, line,
                                       description, data, length, log_set__audit_now);
  logging_in_process_flag = 0;
  after_record(said, path);
}

} // namespace

int32_t *log__error_level = &fallback_error_level;
int32_t *log__audit_level = &fallback_audit_level;

void getProcName(char **buffer) {
  char path[MAX_PATH];
  const char *name = "default";
  if (GetModuleFileNameA(nullptr, path, sizeof path) != 0) {
    path[sizeof path - 1] = '\0';
    char *start = strrchr(path, VEZ_DIRSEP_CHAR);
    name = start != nullptr ? start + 1 : path;
    char *dot = strrchr(start != nullptr ? start + 1 : path, '.');
    if (dot != nullptr) *dot = '\0';
  }
  /* at most 32 bytes, zero-padded; the caller's 33rd byte stays as it was */
  size_t n = strlen(name);
  if (n > LOG_PROCNAME_SIZE - 1) n = LOG_PROCNAME_SIZE - 1;
  memcpy(*buffer, name, n);
  memset(*buffer + n, 0, LOG_PROCNAME_SIZE - 1 - n);
}

namespace {

void init(const char *name) {
  char own[LOG_PROCNAME_SIZE];
  if (name == nullptr) {
    memset(own, 0, sizeof own);
    char *p = own;
    getProcName(&p);
    name = own;
  }
  int32_t index = 0;
  int rc = log_cfg__process_index(name, &index);
  if (rc == -1) return; /* no process-index table: nothing is set */
  strncpy(procname, name, LOG_PROCNAME_SIZE - 1);
  procname[LOG_PROCNAME_SIZE - 1] = '\0';
  if (rc == 0) log__init_error_audit(index, procname);
}

void init_error_audit(int index, const char *name) {
  if (name == nullptr)
    name_from_executable();
  else if (name != procname)
    set_procname(name);
  name = procname;
  /* 64 and above share the overflow slot; so does a negative index, which has no slot */
  procindex = (index >= VEZ_OVERFLOW_SLOT || index < 0) ? VEZ_OVERFLOW_SLOT : index;
  bInitialized = 1;
  char path[SHM_PATH_SIZE];
  shm__data_file_path(path);
  shm__set_fallback(log_set__built_in());
  shm_report failure;
  ErrorAuditSegment *segment = shm__attach_shared_mem(path, 0, &failure);
  if (segment == nullptr) {
    if (failure.line != 0) {
      SetLastError(shm__attach_error); /* the report carries the failure's own code */
      log__report_error(SHM_SOURCE, failure.line, failure.message, nullptr, 0);
    }
    log__report_error(source, 408, "Error and Audits initialization FAILURE", name,
                      (int)strlen(name));
    return;
  }
  log_set__segment = segment;
  log_set__error_info = &segment->error;
  log_set__audit_info = &segment->audit[procindex];
  log_set__watch();
  log_set__look(true);
  /* each setting stored whole: other threads' level tests may be reading it */
  int32_t hex_dumps = 0, level = 0, size = LOG_DEFL_FILE_SIZE;
  if (!log_cfg__read_value("LOGDUMP", &hex_dumps, sizeof hex_dumps)) hex_dumps = 0;
  /* a value out of range counts as not configured: the default applies */
  if (!log_cfg__read_value("LOGAUDITLEVEL", &level, sizeof level) || level < 0) level = 0;
  if (!log_cfg__read_value("LOGFILESIZE", &size, sizeof size) || size < 0 ||
      size > VEZ_MAX_FILE_SIZE)
    size = LOG_DEFL_FILE_SIZE;
  if (size == 0) size = 1;
  __atomic_store_n(&log_set__audit_info->hex_dumps, hex_dumps, __ATOMIC_RELAXED);
  __atomic_store_n(&log_set__audit_info->level, level, __ATOMIC_RELAXED);
  __atomic_store_n(&log_set__audit_info->max_file_size, size, __ATOMIC_RELAXED);
  log_set__point_into(log_set__segment, procindex);
  if (log_set__audit_info->level >= INIT_AUDIT_LEVEL)
    log__log_audit(INIT_AUDIT_LEVEL, source, 403, "Error and Audits initialized", segment,
                   (int)sizeof *segment);
}

void log_error(DWORD error_code, int level, const char *src, int line, const char *description,
               const void *data, int length) {
  static ErrorInfo fallback_error_info;
  if (bInitialized == 0) {
    bInitialized = 1;
    log__init(nullptr);
  }
  log_set__look(false);
  /* a level that stops the record is believed once the file was looked at after it was read:
     a file cut between the look and the read reads as zeros past the cut */
  if (log_level__error() != 1) {
    log_set__look(true);
    if (log_level__error() != 1) return;
  }
  if (log_set__error_info == nullptr) {
    log_set__error_info = &fallback_error_info;
    name_from_executable();
    log_defe__set_default_err_info(&fallback_error_info);
    log__report_error(source, 529, "Switching to default error info", procname, LOG_PROCNAME_SIZE);
  }
  if (logging_in_process_flag == 1) {
    log_stde__log_to_stderr(1, level, log_set__error_info, (int)error_code, procname, src, line,
                            description, data, length);
    return;
  }
  logging_in_process_flag = 1;
  char path[LOG_PATH_SIZE];
  log_errf__get_error_file_name(path);
  if (log_set__error_info->error_notification == 1)
    log_not__error_notification(log_set__error_info->notification_device, path);
  AuditInfo settings = log_set__of_error(log_set__error_info);
  uint32_t said = log_msg__log_message(path, 1, level, &settings, (int)error_code, procname, src,
                                       line, description, data, length, log_set__error_now);
  logging_in_process_flag = 0;
  after_record(said, path);
}

} // namespace

void log__init(const char *name) {
  sys__caller_errors kept = sys__keep_caller_errors();
  EnterCriticalSection(write_lock());
  init(name);
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
}

void log__init_error_audit(int index, const char *name) {
  sys__caller_errors kept = sys__keep_caller_errors();
  EnterCriticalSection(write_lock());
  init_error_audit(index, name);
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
}

namespace {

void error_entry(DWORD code, int level, const char *src, int line, const char *description,
                 const void *data, int length, const sys__caller_errors &kept) {
  EnterCriticalSection(write_lock());
  log_error(code, level, src, line, description, data, length);
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
}

} // namespace

void log__log_error(int level, const char *src, int line, const char *description, const void *data,
                    int length) {
  /* the caller's code, read first: the record shows it (errno of a POSIX program) */
  sys__caller_errors kept = sys__keep_caller_errors();
  error_entry(VezCallerErrorCode(), level, src, line, description, data, length, kept);
}

namespace {

/* a message that passed its level test: kept apart, so that a filtered call does no more
   than the test (no registers saved, no frame) */
__attribute__((noinline)) void audit_entry(const audit_road &road, int level, const char *src,
                                           int line, const char *description, const void *data,
                                           int length) {
  sys__caller_errors kept = sys__keep_caller_errors();
  EnterCriticalSection(write_lock());
  log_audit_like(road, level, src, line, description, data, length);
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
}

AuditInfo audit_fallback, devmsg_fallback;
const audit_road audit_road_of = {&audit_fallback, 684, false, false};
const audit_road devmsg_road_of = {&devmsg_fallback, 814, true, true};

} // namespace

void log__log_audit(int level, const char *src, int line, const char *description, const void *data,
                    int length) {
  if (level > log_level__audit()) return; /* the whole cost of a filtered message */
  audit_entry(audit_road_of, level, src, line, description, data, length);
}

void log__log_devmsg(int level, const char *src, int line, const char *description,
                     const void *data, int length) {
  if (level > log_level__audit()) return;
  audit_entry(devmsg_road_of, level, src, line, description, data, length);
}

void log__report_error(const char *src, int line, const char *description, const void *data,
                       int length) {
  /* the library's own reports carry the code its last system call left */
  if (log_level__error() != 1) return;
  sys__caller_errors kept = sys__keep_caller_errors();
  error_entry(kept.last_error, 1, src, line, description, data, length, kept);
}

int log__seal_intervals(const char *const *logs, int count, uint32_t wait,
                        log_close_result *result) {
  sys__caller_errors kept = sys__keep_caller_errors();
  EnterCriticalSection(write_lock());
  if (bInitialized == 0) {
    bInitialized = 1;
    init(nullptr);
  }
  /* the writer's own sealing state, read as a record would (what a close settles is sealed) */
  int rc = seal_intervals(logs, count, wait, false, result);
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
  return rc;
}

void log__get_drop_counts(log__drop_counts *counts) {
  if (counts == nullptr) return;
  /* the counters are the write path's: read them under its lock */
  EnterCriticalSection(write_lock());
  *counts = log_msg__drops;
  LeaveCriticalSection(write_lock());
}

void log__shut_error_audit(void) {
  sys__caller_errors kept = sys__keep_caller_errors();
  EnterCriticalSection(write_lock());
  if (log_set__segment != nullptr) {
    /* Later messages use the built-in defaults. The view itself stays mapped until the
       process ends (an attach after this one finds it): another thread may be testing
       a level through the pointer it read just before, and must read valid memory. */
    log_set__publish_levels(&fallback_error_level, &fallback_audit_level);
    log_set__point_into(nullptr, 0);
  }
  LeaveCriticalSection(write_lock());
  sys__restore_caller_errors(kept);
}
