/*
** log_set.cpp - the settings in force, and the looks at the data file.
*/
#include "log_set.h"

#include "log_defe.h"
#include "log_defl.h"
#include "log_level.h"
#include "platform.h"
#include "shm.h"

ErrorAuditSegment *log_set__segment = nullptr;
ErrorInfo *log_set__error_info = nullptr;
AuditInfo *log_set__audit_info = nullptr;

namespace {

/* the data file is watched (its name's way and the file itself): the watches' count when it
   was last looked at says whether it may have changed since */
bool watched = false;
DWORD seen = 0;
int slot_in_use = 0;
constexpr int LOOKS_MAX = 4; /* replacements followed in one look */
bool unsettled = false;      /* the last look ended on a replacement not looked at again */

template <typename Record> AuditInfo writer_settings(const Record *info) {
  AuditInfo s{info->hex_dumps, info->level, info->max_file_size};
  if (s.max_file_size <= 0) s.max_file_size = LOG_DEFL_FILE_SIZE;
  return s;
}

} // namespace

const ErrorAuditSegment *log_set__built_in(void) {
  static ErrorAuditSegment defaults;
  static const bool made = [] {
    log_defe__set_default_err_info(&defaults.error);
    for (AuditInfo &slot : defaults.audit)
      log_defl__set_default_log_info(&slot, 0, 0);
    return true;
  }();
  (void)made;
  return &defaults;
}

void log_set__publish_levels(int32_t *error_level, int32_t *audit_level) {
  __atomic_store_n(&log__error_level, error_level, __ATOMIC_RELEASE);
  __atomic_store_n(&log__audit_level, audit_level, __ATOMIC_RELEASE);
}

void log_set__point_into(ErrorAuditSegment *segment, int slot) {
  log_set__segment = segment;
  slot_in_use = slot;
  log_set__error_info = segment != nullptr ? &segment->error : nullptr;
  log_set__audit_info = segment != nullptr ? &segment->audit[slot] : nullptr;
  if (segment != nullptr)
    log_set__publish_levels(&log_set__error_info->level, &log_set__audit_info->level);
}

AuditInfo log_set__of_error(const ErrorInfo *info) { return writer_settings(info); }
AuditInfo log_set__of_audit(const AuditInfo *info) { return writer_settings(info); }

void log_set__watch(void) {
  watched = VezWatchPath(shm__data_file) && VezWatchView(shm__pMemorySeg) >= 0;
  seen = VezWatchChanges();
}

void log_set__look(bool full) {
  if (log_set__segment == nullptr) return;
  if (!full && watched && !unsettled && VezWatchSeen() == seen) {
    VezKeepFaultHandler(); /* what a look does besides looking */
    return;
  }
  /* a file that replaced the one followed before its watches were placed is seen by no
     watch: after a replacement the name is looked at again at once, and where the file kept
     being replaced, at the next look too */
  unsettled = false;
  for (int round = 0; round < LOOKS_MAX; round++) {
    seen = VezWatchSeen();
    if (shm__check_segment() != SHM_REPLACED) return;
    /* the replacement is mapped where the old file was: the pointers stay, the watches move */
    log_set__point_into(shm__pMemorySeg, slot_in_use);
    log_set__watch();
  }
  unsettled = true;
}

bool log_set__error_now(int, AuditInfo *settings) {
  log_set__look(false);
  /* a level that stops the record is believed once the file was looked at after it was read:
     a file cut between the look and the read reads as zeros past the cut */
  if (log_level__error() != 1) {
    log_set__look(true);
    if (log_level__error() != 1) return false;
  }
  if (log_set__error_info != nullptr) *settings = writer_settings(log_set__error_info);
  return true;
}

bool log_set__audit_now(int message_level, AuditInfo *settings) {
  log_set__look(false);
  if (message_level > log_level__audit()) return false;
  if (log_set__audit_info != nullptr) *settings = writer_settings(log_set__audit_info);
  return true;
}
