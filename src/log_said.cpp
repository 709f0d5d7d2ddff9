/*
** log_said.cpp - the words of what a record met.
*/
#include "log_said.h"

#include <string.h>

#include "flsem.h"
#include "log_chk.h"
#include "log_rec.h"
#include "log_sidemv.h"
#include "shm.h"

namespace {

/* the write path's reports name the module that met them: these numbers must not follow
   any file's own lines */
const char file_source[] = "..\\..\\src\\log_file";

void set(log_said_report *out, const char *source, int line, const char *message) {
  memset(out, 0, sizeof *out);
  out->source = source;
  out->line = line;
  out->message = message;
}

} // namespace

void log_said__report(uint32_t said, const char *path, log_said_report *out) {
  const char *name = nullptr; /* the name the report is about */
  char derived[LOG_CHK_NAME_SIZE];
  switch (said) {
  case LOG_REC_SAID_MULTIPLE_LOCKS:
    set(out, FLSEM_SOURCE, FLSEM_MULTIPLE_LINE, FLSEM_MULTIPLE_MESSAGE);
    return;
  case LOG_REC_SAID_UNALLOCATED:
    set(out, FLSEM_SOURCE, FLSEM_UNALLOCATED_LINE, FLSEM_UNALLOCATED_MESSAGE);
    return;
  case LOG_REC_SAID_UNLOCK_FAILED:
    set(out, FLSEM_SOURCE, FLSEM_UNLOCK_LINE, FLSEM_UNLOCK_MESSAGE);
    return;
  case LOG_REC_SAID_STATE_UNREADABLE:
    set(out, file_source, 410, "Sealing state cannot be read, records not sealed");
    name = shm__data_file_in_use();
    break;
  case LOG_REC_SAID_NO_SEAL_FILE:
  case LOG_REC_SAID_NO_OLD_SEAL_FILE:
    set(out, file_source, 400, "Seal file is no seal file, records not sealed");
    if (log_sidemv__name(derived, path, said == LOG_REC_SAID_NO_OLD_SEAL_FILE)) name = derived;
    break;
  case LOG_REC_SAID_MOVE_LOCKED:
    set(out, LOG_CHK_SOURCE, LOG_CHK_HELD_LINE, LOG_CHK_HELD_MESSAGE);
    out->code = log_chk__failure_code();
    name = path;
    break;
  case LOG_REC_SAID_RENAME_FAILED:
    /* the old copy's name in its zero-filled buffer, as the size check always gave it; the
       move's own code says why */
    set(out, LOG_CHK_SOURCE, LOG_CHK_RENAME_LINE, LOG_CHK_RENAME_MESSAGE);
    out->code = log_chk__failure_code();
    if (log_chk__derived_name(derived, path, ".old")) {
      memcpy(out->data, derived, LOG_CHK_REPORTED_NAME_BYTES);
      out->length = LOG_CHK_REPORTED_NAME_BYTES;
    }
    return;
  case LOG_REC_SAID_NOT_A_LOG:
    set(out, file_source, 260, "Log file is a link or not ours, records not written");
    name = path;
    break;
  case LOG_REC_SAID_WRITING_ON:
    set(out, file_source, 255, "Log file reach max, copy failed, writing on");
    name = path;
    break;
  default: set(out, file_source, 0, ""); return;
  }
  if (name != nullptr) {
    size_t n = strnlen(name, sizeof out->data);
    memcpy(out->data, name, n);
    out->length = (int)n;
  }
}
