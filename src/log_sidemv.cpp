/*
** log_sidemv.cpp - the seals' sidecars moved with their logs. A sidecar
** moves one way only, from the log's sidecar name by way of ".seal.moving"
** to the old copy's, a step behind its log: a writer that died between the
** moves leaves the old copy's seals at one of the first two names, and the
** next writer that finds them moves them on.
*/
#include "log_sidemv.h"

#include "log_seal.h"
#include "sys.h"

bool log_sidemv__name(char name[LOG_CHK_NAME_SIZE], const char *path, bool old) {
  return log_chk__derived_name(name, path, old ? ".old.seal" : LOG_SEAL_SUFFIX);
}

bool log_sidemv__owner(const char *name, uint64_t *volume, uint64_t *index) {
  int f = sys__open(name, _O_RDONLY | _O_BINARY, 0);
  if (f < 0) return false;
  log_seal_header h;
  bool ok = sys__read(f, &h, sizeof h) == (int)sizeof h &&
            memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) == 0;
  sys__close(f);
  *volume = h.log_volume;
  *index = h.log_index;
  return ok;
}

bool log_sidemv__file_is(const char *path, const char *suffix, const VEZ_FILE_FACTS &id) {
  char name[LOG_CHK_NAME_SIZE];
  VEZ_FILE_FACTS at = {};
  return log_chk__derived_name(name, path, suffix) && VezFileFactsAtName(name, &at) &&
         at.volume == id.volume && at.index == id.index;
}

void log_sidemv__settle(const char *path) {
  char name[LOG_CHK_NAME_SIZE], old[LOG_CHK_NAME_SIZE], moving[LOG_CHK_NAME_SIZE];
  if (!log_sidemv__name(name, path, false) || !log_sidemv__name(old, path, true) ||
      !log_chk__derived_name(moving, path, LOG_SEAL_MOVING_SUFFIX))
    return;
  VEZ_FILE_FACTS owner = {};
  if (!log_sidemv__owner(moving, &owner.volume, &owner.index)) {
    /* none, or one begun and taken before its header was written: back, or away */
    if (!MoveFileExA(moving, name, 0)) _unlink(moving);
    return;
  }
  if (log_sidemv__file_is(path, ".old", owner)) {
    if (VezKeepFilesOpen()) _unlink(old);
    MoveFileExA(moving, old, MOVEFILE_REPLACE_EXISTING);
  } else if (!log_sidemv__file_is(path, "", owner) || !MoveFileExA(moving, name, 0)) {
    _unlink(moving);
  }
}

void log_sidemv__move(const char *path) {
  char name[LOG_CHK_NAME_SIZE], moving[LOG_CHK_NAME_SIZE];
  if (!log_sidemv__name(name, path, false) ||
      !log_chk__derived_name(moving, path, LOG_SEAL_MOVING_SUFFIX))
    return;
  for (int tries = 0; tries < 2; tries++) {
    if (MoveFileExA(name, moving, 0)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS || tries > 0) return;
    log_sidemv__settle(path); /* one left by a mover that died */
  }
  log_sidemv__settle(path);
}

bool log_sidemv__moved_with(const char *path, const VEZ_FILE_FACTS &id,
                            char name[LOG_CHK_NAME_SIZE]) {
  if (!log_sidemv__file_is(path, ".old", id)) return false;
  uint64_t volume = 0, index = 0;
  if (log_chk__derived_name(name, path, LOG_SEAL_MOVING_SUFFIX) &&
      log_sidemv__owner(name, &volume, &index) && volume == id.volume && index == id.index)
    return true;
  return log_sidemv__name(name, path, true);
}
