/*
** log_file.cpp - one record's log file, from its lock to its release.
**
** Where files may stay open (POSIX), a log is opened once and kept: each
** record looks once at what its name names now, so that a log moved aside
** or replaced by anyone (an older release's rotation, an operator) is let
** go and the name opened again before anything is written. With the lock
** file's stamp that is the whole of a record's checks: the lock (one call),
** that look, the write, the unlock. On Windows the log is opened and closed
** with its lock for each record.
**
** A write that fails or falls short (a full disk) cuts the file back to
** where the record began, and the record is counted as dropped.
*/
#include "log_file.h"

#include <stdio.h>

#include "flsem.h"
#include "log_chk.h"
#include "log_level.h"
#include "log_seal.h"
#include "log_sealw.h"
#include "log_side.h"
#include "log_sidemv.h"
#include "log_stamp.h"
#include "log_tag.h"
#include "shm.h"
#include "sys.h"

namespace {

/* every log is opened so: created when missing, never cut, written at its end as stored,
   and never through a link (a link at its name, in any directory, is no log of ours) */
constexpr int LOG_OPEN_FLAGS = _O_CREAT | _O_RDWR | _O_APPEND | _O_BINARY | VEZ_O_NOFOLLOW;

/* times a lock file found replaced under its holder is taken again at least (and more
   within the lock wait) */
constexpr int LOCK_TAKES = 4;
/* open_locked's words that the lock turned out to be on a lock file no longer in use, and
   that descriptors kept were found taken by the host (the lock was given up with them) */
constexpr int LOCK_STALE = -100;
constexpr int DESCRIPTORS_TAKEN = -101;
static_assert(LOCK_STALE == LOG_STAMP_STALE, "one word for a stale lock");

/* the log opened at its end, and which file it is; -1 when it cannot be, or is no file */
int open_log(log_record *r) {
  int f = sys__open(r->path, r->existing_only ? LOG_OPEN_FLAGS & ~_O_CREAT : LOG_OPEN_FLAGS, 0666);
  if (f < 0) return -1;
  if (VezKeepFilesOpen()) f = VezKeepDescriptor(f);
  if (!VezFileFacts(f, &r->id) || !r->id.regular) {
    /* a device or a pipe in the log's place could hold a writer up: never written */
    sys__close(f);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return f;
}

/* the kept log is looked at through its descriptor at least this often (milliseconds), even
   where the watches say nothing changed */
constexpr DWORD FULL_LOOK_EVERY = 1000;

/* the kept log, as r's: whether its descriptor is still this process's and that file */
bool kept_is_ours(log_record *r, log_held *h) {
  VEZ_FILE_FACTS now;
  if (!VezFileFacts(h->fd, &now) || now.volume != h->id.volume || now.index != h->id.index)
    return false;
  h->looked_at = GetTickCount();
  r->held = h;
  r->fd = h->fd;
  r->id = now;
  return true;
}

/*
** The log at r->path open as r->fd, the one its name names now. Where
** nothing watched changed since the log was last looked at (one call
** says so: the way to its name, the log file and the lock file, a close
** of either included), the stamp says its length and nothing more is
** looked at; where the stamp cannot say (a record under way) or a second
** has passed, the open log is looked at through its descriptor: that it is
** still this process's (a host may close and reuse descriptors) and its
** length. Otherwise the name is looked up, and the lock file's too (a lock
** file removed or replaced no longer keeps other writers out).
*/
int open_current(log_record *r) {
  r->fd = -1;
  r->held = nullptr;
  if (!VezKeepFilesOpen()) {
    r->fd = open_log(r);
    return r->fd >= 0 ? 0 : LOG_FILE_OPEN_FAILED;
  }
  log_held *h = flsem__held();
  if (h == nullptr) return LOG_FILE_OPEN_FAILED;
  bool kept = h->fd >= 0;
  DWORD lost = VezDescriptorsLost();
  DWORD changes = VezWatchChanges();
  r->changes = changes;
  if (VezDescriptorsLost() != lost) {
    /* the watches' descriptor was found closed or taken by the host: so are the others */
    flsem__descriptors_taken();
    return DESCRIPTORS_TAKEN;
  }
  /* a child forked since shares the log's open file: its descriptor's close would no longer
     be seen, so the log is opened anew, its own again */
  bool shared = kept && h->forks_made != VezForksMade();
  if (kept && h->watched && h->seen == changes && !shared) {
    long long end = log_stamp__end(flsem__stamp(), h->id);
    if (end >= 0 && h->watch >= 0 && GetTickCount() - h->looked_at < FULL_LOOK_EVERY) {
      r->held = h;
      r->fd = h->fd;
      r->id = h->id;
      r->id.size = (uint64_t)end;
      return 0;
    }
    if (kept_is_ours(r, h)) return 0;
    /* closed or taken by the host: nothing kept is ours to use or close any more */
    flsem__descriptors_taken();
    return DESCRIPTORS_TAKEN;
  }
  if (kept && h->watched && !flsem__lock_is_current(r->lock_name)) return LOCK_STALE;
  /* a name changed on the way: the sidecar is opened again by its name when next needed */
  log_held__drop_sidecar(&h->seals, true);
  VEZ_FILE_FACTS named;
  bool there = VezFileFactsAtName(r->path, &named);
  if (kept && !shared && there && named.volume == h->id.volume && named.index == h->id.index) {
    /* the name is the log's still; its descriptor too, unless the host closed it */
    if (!kept_is_ours(r, h)) {
      flsem__descriptors_taken();
      return DESCRIPTORS_TAKEN;
    }
    h->seen = changes;
    return 0;
  }
  /* moved aside, removed or replaced since (or shared with a child): the name opened again */
  log_held__drop_log(h, true);
  bool watched = VezWatchPath(r->path) != 0;
  r->fd = open_log(r);
  if (r->fd < 0) {
    /* something at its name that is not written through or into (a link, a directory,
       another's file), or no permission: said once while it lasts, each record kept from it
       counted */
    DWORD why = GetLastError();
    if (why == ERROR_ACCESS_DENIED) {
      if (!h->refused_said) r->said |= LOG_REC_SAID_NOT_A_LOG;
      h->refused_said = true;
    }
    SetLastError(why);
    return LOG_FILE_OPEN_FAILED;
  }
  h->refused_said = false;
  h->fd = r->fd;
  h->id = r->id;
  h->watched = watched;
  h->watch = watched ? VezWatchFile(r->fd, FALSE) : -1;
  h->looked_at = GetTickCount();
  h->forks_made = VezForksMade();
  /* a watch made now reports from now on: what happened before it is not known */
  h->seen = h->watch >= 0 ? VezWatchChanges() : changes;
  r->changes = h->seen;
  r->held = h;
  return 0;
}

void close_current(log_record *r) {
  if (r->held == nullptr && r->fd >= 0) sys__close(r->fd);
  r->fd = -1;
  r->held = nullptr;
}

/* the log the check closed let go: the kept files forget its descriptor */
void forget_checked_log(log_record *r) {
  if (r->held != nullptr) {
    r->held->fd = -1;
    r->held->watched = false;
  }
  r->held = nullptr;
  r->fd = -1;
}

/* with the lock held: the log open at its end, whole, rotated when full */
int open_locked(log_record *r, int max_size) {
  int rc = open_current(r);
  if (rc != 0) return rc;
  long long size = log_stamp__mend_tail(r, (long long)r->id.size);
  if (size == LOG_STAMP_STALE) {
    close_current(r);
    return LOCK_STALE;
  }
  bool report = false;
  r->seals.on = log_sealw__active(shm__data_file_in_use(), r->changes,
                                  r->held != nullptr && r->held->watched, &report);
  if (report) r->said |= LOG_REC_SAID_STATE_UNREADABLE;
  if (r->seals.on) {
    log_tag__adopt_unsealed(r, size);
    log_tag__seal_orphan(r, size);
  }
  /* seals of an earlier release beside the log: they go aside with it, and its new
     generation's are this release's (looked at once for each lock file) */
  flsem_stamp *st = flsem__stamp();
  bool move_aside = false;
  if (r->seals.on && st != nullptr && st->seal_version != LOG_SEAL_SIDECAR_VERSION) {
    move_aside = log_side__earlier_release(r->path);
    if (!move_aside) st->seal_version = LOG_SEAL_SIDECAR_VERSION;
  }
  rc = log_chk__check_log_file_size(r->path, r->fd, max_size, move_aside ? -1 : size, r->seals.on);
  if (rc == LOG_CHK_WITHIN_LIMIT || rc == LOG_CHK_BUSY || rc == LOG_CHK_BUSY_AGAIN) {
    /* a log whose own lock another holds is written on past its limit, moved aside later */
    if (rc != LOG_CHK_WITHIN_LIMIT) r->rotation_failed++;
    if (rc == LOG_CHK_BUSY) r->said |= LOG_REC_SAID_MOVE_LOCKED;
    r->start = size;
    log_tag__find_chain(r);
    return 0;
  }
  /* the check closed the log: it is opened again, new or (where it could not be moved) full;
     a log this writer moved takes its sidecar along */
  if (rc == LOG_CHK_ROTATED) {
    log_side__drop(r);
    log_sidemv__move(r->path);
    if (st != nullptr) {
      st->rotations++;
      st->records_before = st->records;
      if (move_aside) st->seal_version = LOG_SEAL_SIDECAR_VERSION;
    }
  }
  forget_checked_log(r);
  if (rc != LOG_CHK_ROTATED && rc != LOG_CHK_MOVED_ALREADY) {
    /* the full log is kept and written on past its limit: a lost record could not be
       brought back, an oversized log can still be rotated once the move works */
    r->rotation_failed++;
    if (rc == LOG_CHK_RENAME_FAILED)
      r->said |= LOG_REC_SAID_RENAME_FAILED | LOG_REC_SAID_WRITING_ON;
  }
  rc = open_current(r);
  if (rc != 0) return rc;
  r->start = (long long)r->id.size;
  log_stamp__whole(flsem__stamp(), r->id, r->start);
  log_tag__find_chain(r);
  return 0;
}

/* the lock released, and what its release met kept for after the record */
void release_lock(log_record *r) {
  int rc = flsem__signal_file_lock_sem();
  if (rc == FLSEM_NOT_HELD)
    r->said |= LOG_REC_SAID_UNALLOCATED;
  else if (rc == FLSEM_CLOSE_FAILED)
    r->said |= LOG_REC_SAID_UNLOCK_FAILED;
  else if (log_level__audit() >= 15)
    r->nested++; /* its audit would be raised inside the record: dropped */
}

} // namespace

int log_file__open_log_file(log_record *r, const char *path, int max_size) {
  return log_file__open_log_file_waiting(r, path, max_size, FLSEM_WAIT_CONFIGURED);
}

int log_file__open_log_file_waiting(log_record *r, const char *path, int max_size, uint32_t wait) {
  log_rec__begin(r, path);
  /* a path left without its file name (its directory took all the room) names no log:
     no lock file is made beside it */
  size_t length = strlen(path);
  if (length == 0 || path[length - 1] == VEZ_DIRSEP_CHAR) return LOG_FILE_OPEN_FAILED;
  if (!log_chk__derived_name(r->lock_name, path, ".lok")) return LOG_FILE_LOCK_FAILED;
  DWORD began = GetTickCount();
  uint32_t left = wait;
  for (int take = 1;; take++) {
    int rc = flsem__take_file_lock(r->lock_name, left);
    if (rc == FLSEM_ALREADY_HELD) r->said |= LOG_REC_SAID_MULTIPLE_LOCKS;
    if (rc == FLSEM_OPEN_FAILED) return LOG_FILE_OPEN_FAILED;
    if (rc != 0) return LOG_FILE_LOCK_FAILED;
    rc = open_locked(r, max_size);
    if (rc == 0) return 0;
    /* a lock kept after a failed open would refuse every later record; a lock file found
       no longer at its name is let go, to be opened again by its name */
    if (rc == LOCK_STALE)
      flsem__release_stale();
    else if (rc != DESCRIPTORS_TAKEN)
      release_lock(r);
    log_side__end(r);
    log_sealw__record_done();
    if (rc == DESCRIPTORS_TAKEN) rc = LOCK_STALE;
    /* a lock file removed or replaced (by a cleaner, an operator) while it was taken no
       longer keeps the other writers out: the lock is taken again on the file now there */
    if (rc != LOCK_STALE) return rc;
    /* taken again on the new lock file as long as the wait lasts, counted from the first
       try: a lock file removed again and again costs a writer no more than a held lock */
    if (wait == FLSEM_WAIT_CONFIGURED) wait = flsem__lock_wait();
    DWORD spent = GetTickCount() - began;
    if (take >= LOCK_TAKES && spent >= wait) return LOG_FILE_LOCK_FAILED;
    left = spent < wait ? wait - spent : 0;
  }
}

uint32_t log_file__untold_mends(time_t *since) { return log_stamp__untold_mends(since); }

void log_file__tell_mends(log_record *r) { r->telling_mends = true; }

int log_file__close_log_file(log_record *r) {
  log_rec__flush(r, true);
  bool failed = r->failed;
  /* still under the lock: a record that did not go out whole is cut back to its start */
  if (failed)
    log_stamp__cut_back(r);
  else if (r->started) {
    log_stamp__written(r);
    log_tag__seal(r); /* the record's bytes still in the buffer */
  }
  log_side__end(r);
  log_sealw__record_done();
  log_rec__release(r);
  if (!failed && r->telling_mends) log_stamp__mends_told();
  close_current(r);
  release_lock(r);
  return failed ? LOG_FILE_WRITE_FAILED : 0;
}

int log_file__settle(const char *path, uint32_t wait, log_file_chain *out) {
  memset(out, 0, sizeof *out);
  log_record r;
  log_rec__begin(&r, path);
  r.existing_only = true;
  if (!log_chk__derived_name(r.lock_name, path, ".lok")) return LOG_FILE_LOCK_FAILED;
  int rc = flsem__take_file_lock(r.lock_name, wait);
  if (rc == FLSEM_HELD_ELSEWHERE) out->held = true;
  if (rc != 0) return rc == FLSEM_HELD_ELSEWHERE ? LOG_FILE_LOCK_FAILED : LOG_FILE_OPEN_FAILED;
  /* a log gone from its name leaves its chain in the stamp: only that is read */
  if (open_current(&r) == 0) {
    long long size = log_stamp__mend_tail(&r, (long long)r.id.size);
    if (size == LOG_STAMP_STALE) {
      close_current(&r);
      flsem__release_stale();
      return LOG_FILE_LOCK_FAILED;
    }
    bool report = false;
    r.seals.on = log_sealw__active(shm__data_file_in_use(), r.changes,
                                   r.held != nullptr && r.held->watched, &report);
    if (r.seals.on) {
      log_tag__adopt_unsealed(&r, size);
      log_tag__seal_orphan(&r, size);
      log_tag__find_chain(&r);
    }
  }
  flsem_stamp *st = flsem__stamp();
  if (st != nullptr && log_side__chain_kept(st)) {
    out->sealed = true;
    out->generation = st->rotations;
    out->seq = st->seal_seq;
    memcpy(out->tag, st->seal_prev, LOG_SEAL_KEY);
  }
  log_side__end(&r);
  log_sealw__record_done();
  close_current(&r);
  release_lock(&r);
  return 0;
}
