/*
** log_held.cpp - the files kept open for the logs a process writes: an
** error log, its audit log and the device-message log, and seldom more.
*/
#include "log_held.h"

#include "sys.h"

namespace {

constexpr int HELD_LOGS = 4;

/* the write path's, used under its lock */
log_held held[HELD_LOGS];
unsigned long uses = 0;
DWORD lost_seen = 0; /* VezDescriptorsLost() when last looked at */

void forget_all() {
  for (log_held &h : held) {
    log_held__drop_log(&h, false);
    log_held__drop_lock(&h, false);
    h.lock_name[0] = '\0';
  }
}

void drop(log_held &h, bool ours) {
  log_held__drop_log(&h, ours);
  log_held__drop_lock(&h, ours);
  h.lock_name[0] = '\0';
}

} // namespace

void log_held__drop_sidecar(log_sidecar *s, bool ours) {
  if (s->view != nullptr) UnmapViewOfFile(s->view);
  if (s->file != INVALID_HANDLE_VALUE) {
    if (ours)
      CloseHandle(s->file);
    else
      VezForgetHandle(s->file);
  }
  *s = log_sidecar();
}

void log_held__drop_log(log_held *h, bool ours) {
  if (ours && h->watch >= 0) VezUnwatchFile(h->watch);
  h->watch = -1;
  if (ours && h->fd >= 0) sys__close(h->fd);
  h->fd = -1;
  h->watched = false;
  log_held__drop_sidecar(&h->seals, ours);
}

void log_held__drop_lock(log_held *h, bool ours) {
  if (h->stamp != nullptr) UnmapViewOfFile(h->stamp);
  h->stamp = nullptr;
  if (h->lock != INVALID_HANDLE_VALUE) {
    if (ours)
      CloseHandle(h->lock);
    else
      VezForgetHandle(h->lock);
  }
  h->lock = INVALID_HANDLE_VALUE;
}

void log_held__descriptors_taken(void) { forget_all(); }

log_held *log_held__find(const char *lock_name) {
  if (VezDescriptorsLost() != lost_seen) {
    lost_seen = VezDescriptorsLost();
    forget_all();
    return nullptr;
  }
  for (log_held &h : held) {
    if (h.lock_name[0] == '\0' || strcmp(h.lock_name, lock_name) != 0) continue;
    /* a fork's child has its parent's open files: a lock on them would be its parent's too */
    if (h.forks != VezForkCount()) {
      drop(h, true);
      return nullptr;
    }
    h.used = ++uses;
    return &h;
  }
  return nullptr;
}

log_held *log_held__make(const char *lock_name) {
  if (strlen(lock_name) >= sizeof held[0].lock_name) return nullptr;
  log_held *slot = &held[0];
  for (log_held &h : held) {
    if (h.lock_name[0] == '\0') {
      slot = &h;
      break;
    }
    if (h.used < slot->used) slot = &h;
  }
  drop(*slot, true);
  strcpy(slot->lock_name, lock_name);
  slot->forks = VezForkCount();
  slot->used = ++uses;
  return slot;
}
