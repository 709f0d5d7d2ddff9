/*
** log_util.cpp - the settings tool's segment accessors.
**
** Peeks and pokes work on the mapping itself: a poke is in force in every
** process at once. Each integer field is one aligned 32-bit store.
*/
#include "log_util.h"

#include <string.h>

#include "log.h"
#include "platform.h"
#include "shm.h"

static ErrorAuditSegment *error_audit = nullptr;

/* the segment module's report, made as the library makes it: an error record */
static void report(const shm_report &r, const void *data, int length) {
  if (r.line != 0) log__report_error(SHM_SOURCE, r.line, r.message, data, length);
}

int log_util__init_error_audit(void) {
  char path[SHM_PATH_SIZE];
  shm__data_file_path(path);
  shm_report failure;
  error_audit = shm__attach_shared_mem(path, (int)sizeof(ErrorAuditSegment), &failure);
  if (error_audit == nullptr) {
    /* the report must not change the code the tool says the attach failed with */
    uint32_t code = shm__attach_error;
    SetLastError(code); /* the report carries the failure's own code */
    report(failure, nullptr, 0);
    shm__attach_error = code;
  }
  return error_audit != nullptr ? 0 : LOG_UTIL_NOT_ATTACHED;
}

int log_util__peek_error(ErrorInfo *dest) {
  if (error_audit == nullptr) return LOG_UTIL_NOT_ATTACHED;
  memcpy(dest, &error_audit->error, sizeof *dest);
  return 0;
}

int log_util__peek_audit(int index, AuditInfo *dest) {
  if (error_audit == nullptr) return LOG_UTIL_NOT_ATTACHED;
  if (index < 0 || index >= VEZ_PROCESS_SLOTS) return LOG_UTIL_BAD_INDEX;
  memcpy(dest, &error_audit->audit[index], sizeof *dest);
  return 0;
}

int log_util__poke_error(int field, const void *value) {
  if (error_audit == nullptr) return LOG_UTIL_NOT_ATTACHED;
  ErrorInfo *info = &error_audit->error;
  const int32_t *number = static_cast<const int32_t *>(value);
  switch (field) {
  case LOG_UTIL_HEX_DUMPS: info->hex_dumps = *number; return 0;
  case LOG_UTIL_LEVEL: info->level = *number; return 0;
  case LOG_UTIL_MAX_FILE_SIZE: info->max_file_size = *number; return 0;
  case LOG_UTIL_NOTIFICATION: info->error_notification = *number; return 0;
  case LOG_UTIL_DEVICE:
    shm__set_notification_device(info, static_cast<const char *>(value));
    return 0;
  default: return LOG_UTIL_BAD_FIELD;
  }
}

static void store_audit(AuditInfo *slot, int field, int32_t value) {
  if (field == LOG_UTIL_HEX_DUMPS)
    slot->hex_dumps = value;
  else if (field == LOG_UTIL_LEVEL)
    slot->level = value;
  else
    slot->max_file_size = value;
}

int log_util__poke_audit(int index, int field, const int32_t *value) {
  if (error_audit == nullptr) return LOG_UTIL_NOT_ATTACHED;
  if (index < 0 || index > LOG_UTIL_ALL_INDEXES) return LOG_UTIL_BAD_INDEX;
  if (field < LOG_UTIL_HEX_DUMPS || field > LOG_UTIL_MAX_FILE_SIZE) return LOG_UTIL_BAD_FIELD;
  if (index == LOG_UTIL_ALL_INDEXES) {
    for (int i = 0; i < VEZ_PROCESS_SLOTS; i++)
      store_audit(&error_audit->audit[i], field, *value);
  } else {
    store_audit(&error_audit->audit[index], field, *value);
  }
  return 0;
}

void log_util__shut_error_audit(void) {
  if (error_audit == nullptr) return;
  int32_t count = 0;
  shm_report r = shm__detach_shared_mem(&count);
  error_audit = nullptr;
  report(r, &count, (int)sizeof count);
}
