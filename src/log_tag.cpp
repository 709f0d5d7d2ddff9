/*
** log_tag.cpp - the record in hand's entries, their digests and tags, and
** their storing in the chain.
**
** A tag is made over an entry's fields and its record's digest: an entry
** that has to follow another than meant (another writer stored one in
** between), or to name another place, is made again from its digest, the
** record's bytes no longer needed.
*/
#include "log_tag.h"

#include "flsem.h"
#include "log_format.h"
#include "log_sealw.h"
#include "log_side.h"
#include "log_stamp.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* room to read a log back for a digest (a record left by a writer that died, or what lies
   before sealing began in a log) */
char bytes_back[65536];

/* an entry of the chain begun: its kind, place, generation; false where no key was had */
bool begin(log_seal_entry *e, uint32_t type, time_t t, uint64_t offset, uint64_t generation) {
  memset(e, 0, sizeof *e);
  e->type = type;
  e->time = (int64_t)t;
  e->utc_offset = log_seal__utc_offset(t);
  e->offset = offset;
  e->generation = generation;
  return log_sealw__key_for(t, &e->epoch, e->id);
}

/* the digest of the log's bytes [from, from + n), read back */
bool digest_back(int fd, uint64_t from, uint64_t n, uint8_t digest[LOG_SEAL_KEY]) {
  if (!log_sealw__begin_digest() || sys__lseek(fd, (long long)from, 0) != (long long)from)
    return false;
  for (uint64_t done = 0; done < n;) {
    unsigned chunk = n - done < sizeof bytes_back ? (unsigned)(n - done) : sizeof bytes_back;
    if (sys__read(fd, bytes_back, chunk) != (int)chunk ||
        !log_sealw__digest_data(bytes_back, chunk))
      return false;
    done += chunk;
  }
  return log_sealw__end_digest(digest);
}

/* the record entry for the index-th header of the write, at offset within it, begun */
bool begin_entry(log_record *r, int index, unsigned long long offset) {
  log_rec_seals &t = r->seals;
  t.entries = index + 1;
  return begin(&t.entry[index], LOG_SEAL_RECORD, r->header_times[index],
               (uint64_t)r->start + offset, t.generation) &&
         log_sealw__begin_digest();
}

/* the entry in hand ended: its digest (its tag is made where it is stored, in the chain) */
bool end_entry(log_seal_entry *e) { return log_sealw__end_digest(e->digest); }

/*
** The entries stored in the chain, each in the next free slot and after
** the entry stored last before it: where another writer stored one in
** between (it still held a lock file that was removed, or its seals went
** beside the old copy), they follow that one. A sidecar's first slot holds
** an entry of its own: where sealing begins in this generation, and the
** digest of what lies before it. The stamp's chain goes on from the last.
*/
bool store_entries(log_record *r, flsem_stamp *st, log_seal_entry *e, int n) {
  log_sidecar *s = &r->seals.sidecar;
  if (s->file == INVALID_HANDLE_VALUE && !log_side__open(r, st)) return false;
  /* a record whose interval was closed while it was written (its writer still held a lock
     file that was removed, or was held up) is sealed late, as the next writer seals one
     whose writer died: with the key of now, named now */
  for (int i = 0; i < n; i++) {
    if (e[i].type != LOG_SEAL_RECORD || !log_sealw__closed(e[i].epoch)) continue;
    time_t now = timelib__get_unix_time();
    e[i].type = LOG_SEAL_ORPHAN;
    e[i].named_at = (int64_t)now;
    if (!log_sealw__key_for(now, &e[i].epoch, e[i].id)) return false;
  }
  uint64_t at = st->seal_count;
  log_seal_entry start;
  for (int i = 0; i < n;) {
    log_seal_entry *slot = log_side__claim(s, &at);
    if (slot == nullptr) return false;
    bool first = at == 0;
    if (first) {
      /* of the first entry's interval: its key is the one in hand */
      memset(&start, 0, sizeof start);
      start.type = LOG_SEAL_ROTATION;
      start.time = (int64_t)timelib__get_unix_time();
      start.utc_offset = log_seal__utc_offset((time_t)start.time);
      start.offset = e[0].offset;
      start.generation = r->seals.generation;
      start.epoch = e[0].epoch;
      memcpy(start.id, e[0].id, LOG_SEAL_ID);
      if (!digest_back(r->fd, 0, e[0].offset, start.digest)) return false;
    }
    log_seal_entry &x = first ? start : e[i];
    log_seal_entry before;
    bool have = at > 0 ? log_side__stored_before(s, at, &before)
                       : log_side__old_chain_end(r->path, &before);
    x.seq = (have ? before.seq : st->seal_seq) + 1;
    memcpy(x.prev, have ? before.tag : st->seal_prev, LOG_SEAL_KEY);
    if (!log_sealw__tag(&x, x.tag)) return false;
    log_side__fill(slot, x);
    at++;
    if (!first) i++;
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
  t.generation = s->rotations;
  t.broken = !begin_entry(r, 0, 0);
}

void log_tag__bytes(log_record *r, const char *bytes, size_t n, unsigned long long at) {
  log_rec_seals &t = r->seals;
  if (!t.on || t.broken) return;
  if (t.entries == 2 || r->second == 0 || at + n <= r->second) {
    t.broken = !log_sealw__digest_data(bytes, n);
    return;
  }
  /* the first record (a loss record) ends inside: its entry ends, the next one begins */
  size_t first = r->second > at ? (size_t)(r->second - at) : 0;
  t.entry[0].length = r->second;
  t.broken = !log_sealw__digest_data(bytes, first) || !end_entry(&t.entry[0]) ||
             !begin_entry(r, 1, r->second) || !log_sealw__digest_data(bytes + first, n - first);
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
  flsem_stamp *s = flsem__stamp();
  if (s != nullptr) s->start = (uint64_t)start;
}

void log_tag__seal(log_record *r) {
  log_rec_seals &t = r->seals;
  flsem_stamp *st = flsem__stamp();
  if (!t.on || t.broken || t.entries == 0 || st == nullptr) return;
  log_seal_entry &last = t.entry[t.entries - 1];
  last.length = r->written - (last.offset - (uint64_t)r->start);
  if (end_entry(&last)) store_entries(r, st, t.entry, t.entries);
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
  /* sealed as of its own time, as its header shows it; named now */
  time_t now = timelib__get_unix_time();
  char head[LOG_FORMAT_MARK_LEN + 14];
  time_t shown = now;
  if (sys__lseek(r->fd, (long long)st->start, 0) == (long long)st->start &&
      sys__read(r->fd, head, sizeof head) == (int)sizeof head)
    shown = timelib__header_time(head + LOG_FORMAT_MARK_LEN, now);
  log_seal_entry e;
  r->seals.generation = st->rotations;
  if (!begin(&e, LOG_SEAL_ORPHAN, now, st->start, st->rotations)) return;
  e.named_at = (int64_t)now;
  e.time = (int64_t)shown;
  e.utc_offset = log_seal__utc_offset(shown);
  e.length = st->length;
  if (!digest_back(r->fd, e.offset, e.length, e.digest)) return;
  store_entries(r, st, &e, 1);
  log_side__end(r);
}

void log_tag__adopt_unsealed(log_record *r, long long size) {
  flsem_stamp *st = flsem__stamp();
  if (!r->seals.on || st == nullptr || log_side__chain_kept(st)) return;
  log_tag__find_chain(r);
  const log_sidecar *s = &r->seals.sidecar;
  if (s->file == INVALID_HANDLE_VALUE || st->seal_count == 0) return;
  /* where sealing ends: the furthest of the last entries (two writers at once store out of
     the order their records stand in) */
  uint64_t end = 0;
  for (uint64_t i = st->seal_count, looked = 0; i > 0 && looked < 8; i--, looked++) {
    const log_seal_entry *e = log_side__entry_at(s, i - 1);
    uint64_t to = e->type == LOG_SEAL_ROTATION ? e->offset : e->offset + e->length;
    if (e->type != LOG_SEAL_CLAIMED && to > end) end = to;
  }
  if (size <= 0 || end >= (uint64_t)size) return;
  /* whole records only: begun by a header, ended by a line end */
  char head[LOG_FORMAT_MARK_LEN], tail[2];
  if (sys__lseek(r->fd, (long long)end, 0) != (long long)end ||
      sys__read(r->fd, head, sizeof head) != (int)sizeof head ||
      memcmp(head, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) != 0 ||
      sys__lseek(r->fd, size - 2, 0) != size - 2 || sys__read(r->fd, tail, 2) != 2 ||
      memcmp(tail, LOG_FORMAT_LINE_END, 2) != 0)
    return;
  log_stamp__whole(st, r->id, (long long)end);
  st->length = (uint64_t)size - end;
  st->seal_unsealed = 1;
}
