/*
** log_tag.cpp - the record in hand's entries and tags, and their storing.
*/
#include "log_tag.h"

#include "flsem.h"
#include "log_side.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* room to read a record back for an entry of its own (one left by a writer that died) */
char bytes_back[65536];

/* an entry begun for the record whose header is the index-th of the write, at offset within
   it; false where no key was to be had */
bool begin_entry(log_record *r, int index, unsigned long long offset) {
  log_rec_seals &t = r->seals;
  log_seal_entry &e = t.entry[index];
  memset(&e, 0, sizeof e);
  e.type = LOG_SEAL_RECORD;
  e.time = (int64_t)r->header_times[index];
  e.utc_offset = log_seal__utc_offset(r->header_times[index]);
  e.seq = (index == 0 ? t.base_seq : t.entry[0].seq) + 1;
  e.offset = (uint64_t)r->start + offset;
  memcpy(e.prev, index == 0 ? t.base_prev : t.entry[0].tag, LOG_SEAL_KEY);
  t.entries = index + 1;
  return log_seal__key_for(r->header_times[index], &e.epoch, e.id) && log_seal__begin_tag();
}

/*
** The chain as the sidecars have it. Under its lock a writer's entries
** follow the one stored last, as its stamp says; where another writer
** stored one in between (it still held a lock file that was removed, or
** its seals went beside the old copy), the entries are made again to
** follow that one, from the record's bytes where they are still at hand.
** Else the two chains stay forked, which a verifier names.
*/
void follow_chain(log_record *r, uint64_t at, log_seal_entry *e, int n, const char *bytes) {
  log_seal_entry before;
  if (bytes == nullptr || !(at > 0 ? log_side__stored_before(&r->seals.sidecar, at, &before)
                                   : log_side__old_chain_end(r->path, &before)))
    return;
  if (before.seq + 1 == e[0].seq && memcmp(before.tag, e[0].prev, LOG_SEAL_KEY) == 0) return;
  for (int i = 0; i < n; i++) {
    const log_seal_entry &prior = i == 0 ? before : e[i - 1];
    log_seal_entry again = e[i];
    again.seq = prior.seq + 1;
    memcpy(again.prev, prior.tag, LOG_SEAL_KEY);
    if (!log_seal__tag_again(bytes + (again.offset - (uint64_t)r->start), (size_t)again.length,
                             &again, again.tag))
      return;
    e[i] = again;
  }
}

/* entries stored at the end of the sidecar (bytes: the record's, where they are at hand);
   the stamp's chain goes on from the last */
bool store_entries(log_record *r, flsem_stamp *st, log_seal_entry *e, int n, const char *bytes) {
  log_sidecar *s = &r->seals.sidecar;
  if (s->file == INVALID_HANDLE_VALUE && !log_side__open(r, st)) return false;
  uint64_t at = st->seal_count;
  for (int i = 0; i < n; i++) {
    log_seal_entry *slot = log_side__claim(s, &at);
    if (slot == nullptr) return false;
    if (i == 0) follow_chain(r, at, e, n, bytes);
    log_side__fill(slot, e[i]);
    at++;
  }
  st->seal_count = at;
  log_side__chain_from(st, &e[n - 1]);
  st->seal_unsealed = 0;
  return true;
}

} // namespace

void log_tag__find_chain(log_record *r) {
  flsem_stamp *st = flsem__stamp();
  if (r->seals.on && st != nullptr && !log_side__chain_kept(st) &&
      r->seals.sidecar.file == INVALID_HANDLE_VALUE)
    log_side__open(r, st);
}

void log_tag__begin(log_record *r) {
  log_rec_seals &t = r->seals;
  if (!t.on) return;
  flsem_stamp *s = flsem__stamp();
  if (s == nullptr) {
    t.broken = true; /* no chain to go on from */
    return;
  }
  s->seal_unsealed = 1; /* until its entry is stored: else the next writer names it */
  t.base_seq = s->seal_seq;
  memcpy(t.base_prev, s->seal_prev, LOG_SEAL_KEY);
  t.broken = !begin_entry(r, 0, 0);
}

void log_tag__bytes(log_record *r, const char *bytes, size_t n, unsigned long long at) {
  log_rec_seals &t = r->seals;
  if (!t.on || t.broken) return;
  if (t.entries == 2 || r->second == 0 || at + n <= r->second) {
    t.broken = !log_seal__tag_data(bytes, n);
    return;
  }
  /* the first record (a loss record) ends inside: its tag ends, the next one begins */
  size_t first = r->second > at ? (size_t)(r->second - at) : 0;
  t.entry[0].length = r->second;
  t.broken = !log_seal__tag_data(bytes, first) || !log_seal__end_tag(&t.entry[0], t.entry[0].tag) ||
             !begin_entry(r, 1, r->second) || !log_seal__tag_data(bytes + first, n - first);
}

void log_tag__find_place(log_record *r) {
  log_rec_seals &t = r->seals;
  if (!t.on || t.broken) return;
  if (!VezKeepFilesOpen()) return; /* a held lock file cannot be removed there */
  long long start = sys__lseek(r->fd, 0, 1) - (long long)r->written;
  if (start < 0 || start == r->start) return;
  long long delta = start - r->start;
  r->start = start;
  for (int i = 0; i < t.entries; i++)
    t.entry[i].offset = (uint64_t)((long long)t.entry[i].offset + delta);
  if (t.entries == 2)
    t.broken =
        r->second > r->used || !log_seal__tag_again(r->buf, r->second, &t.entry[0], t.entry[0].tag);
  flsem_stamp *s = flsem__stamp();
  if (s != nullptr) s->start = (uint64_t)start;
}

void log_tag__seal(log_record *r) {
  log_rec_seals &t = r->seals;
  flsem_stamp *st = flsem__stamp();
  if (!t.on || t.broken || t.entries == 0 || st == nullptr) return;
  log_seal_entry &last = t.entry[t.entries - 1];
  last.length = r->written - (last.offset - (uint64_t)r->start);
  if (log_seal__end_tag(&last, last.tag))
    store_entries(r, st, t.entry, t.entries, r->in_buffer ? r->buf : nullptr);
  log_side__end(r);
}

void log_tag__seal_orphan(log_record *r, long long size) {
  flsem_stamp *st = flsem__stamp();
  if (st == nullptr || !st->seal_unsealed) return;
  bool whole = st->magic == FLSEM_STAMP_MAGIC && st->log_volume == r->id.volume &&
               st->log_index == r->id.index && !st->in_flight && st->length > 0 &&
               st->length != FLSEM_LENGTH_UNKNOWN && st->start + st->length <= (uint64_t)size;
  st->seal_unsealed = 0;
  if (!whole) return;
  log_seal_entry e = {};
  time_t now = timelib__get_unix_time();
  e.type = LOG_SEAL_ORPHAN;
  e.time = (int64_t)now;
  e.utc_offset = log_seal__utc_offset(now);
  e.seq = st->seal_seq + 1;
  e.offset = st->start;
  e.length = st->length;
  memcpy(e.prev, st->seal_prev, LOG_SEAL_KEY);
  if (!log_seal__key_for(now, &e.epoch, e.id) || !log_seal__begin_tag() ||
      sys__lseek(r->fd, (long long)e.offset, 0) != (long long)e.offset)
    return;
  for (uint64_t done = 0; done < e.length;) {
    unsigned n =
        e.length - done < sizeof bytes_back ? (unsigned)(e.length - done) : sizeof bytes_back;
    if (sys__read(r->fd, bytes_back, n) != (int)n || !log_seal__tag_data(bytes_back, n)) return;
    done += n;
  }
  if (log_seal__end_tag(&e, e.tag)) store_entries(r, st, &e, 1, nullptr);
  log_side__end(r);
}
