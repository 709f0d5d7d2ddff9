/*
** log_stamp.cpp - the stamp of the log's last record, and its end mended.
*/
#include "log_stamp.h"

#include "log_format.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* the write path's, used under its lock: mends where no stamp could keep them, told from
   here, and room to read a torn record back */
uint32_t untold_here = 0;
time_t untold_here_since = 0;
char check[65536];

/* a mend made: counted for the record's caller, and kept to be told in the log */
void count_mend(log_record *r, flsem_stamp *s) {
  r->mended++;
  time_t now = timelib__get_unix_time();
  if (s == nullptr) {
    if (untold_here++ == 0) untold_here_since = now;
    return;
  }
  if (s->untold_mends++ == 0) s->first_mend = (int64_t)now;
}

/*
** Whether the bytes from start to size are a torn record of this release's
** own, as the stamp describes it: its header at start, a second one (after
** a loss record) only where the stamp says, and nothing but whole CR LF
** line ends, so that no text another wrote after it is taken for its own.
*/
bool torn_is_its_own(int fd, unsigned long long start, unsigned long long size,
                     unsigned long long second) {
  if (sys__lseek(fd, (long long)start, 0) != (long long)start) return false;
  unsigned long long off = 0, line_start = 0;
  int matched = 0; /* bytes of the record mark matched at the line's start; -1 past it */
  unsigned char prev = 0;
  while (start + off < size) {
    unsigned long long want = size - start - off;
    unsigned n = want < sizeof check ? (unsigned)want : (unsigned)sizeof check;
    if (sys__read(fd, check, n) != (int)n) return false;
    for (unsigned i = 0; i < n; i++, off++) {
      unsigned char c = (unsigned char)check[i];
      if ((prev == '\r') != (c == '\n')) return false; /* a bare CR or LF: not a record's */
      if (matched >= 0) {
        if (c != (unsigned char)LOG_FORMAT_MARK[matched]) {
          if (line_start == 0) return false;
          matched = -1;
        } else if (++matched == LOG_FORMAT_MARK_LEN) {
          if (line_start != 0 && line_start != second) return false;
          matched = -1;
        }
      }
      if (c == '\n') {
        matched = 0;
        line_start = off + 1;
      }
      prev = c;
    }
  }
  return true;
}

} // namespace

void log_stamp__whole(flsem_stamp *s, const VEZ_FILE_FACTS &id, long long size) {
  if (s == nullptr) return;
  s->log_volume = id.volume;
  s->log_index = id.index;
  s->start = (uint64_t)size;
  s->length = 0;
  s->second = 0;
  s->in_flight = 0;
  s->version = FLSEM_STAMP_VERSION;
  s->magic = FLSEM_STAMP_MAGIC;
}

long long log_stamp__end(const flsem_stamp *s, const VEZ_FILE_FACTS &id) {
  if (s == nullptr || s->magic != FLSEM_STAMP_MAGIC || s->log_volume != id.volume ||
      s->log_index != id.index || s->in_flight != 0 || s->length == FLSEM_LENGTH_UNKNOWN ||
      s->start > (uint64_t)INT64_MAX - s->length)
    return -1;
  return (long long)(s->start + s->length);
}

long long log_stamp__mend_tail(log_record *r, long long size) {
  flsem_stamp *s = flsem__stamp();
  bool described = s != nullptr && s->magic == FLSEM_STAMP_MAGIC && s->log_volume == r->id.volume &&
                   s->log_index == r->id.index;
  if (described && s->length != FLSEM_LENGTH_UNKNOWN && s->start <= UINT64_MAX - s->length) {
    unsigned long long start = s->start, end = s->start + s->length;
    unsigned long long now = (unsigned long long)size;
    /* the common case: the log as its last writer left it */
    if (now == end) {
      s->in_flight = 0;
      return size;
    }
    if (s->in_flight && now == start) {
      s->in_flight = 0; /* its writer died before any byte went out */
      s->length = 0;
      return size;
    }
    if (s->in_flight && now > start && now < end) {
      if (!flsem__lock_is_current(r->lock_name)) return LOG_STAMP_STALE;
      if (torn_is_its_own(r->fd, start, now, s->second) &&
          sys__chsize(r->fd, (long long)start) == 0) {
        count_mend(r, s);
        log_stamp__whole(s, r->id, (long long)start);
        s->seal_unsealed = 0; /* the torn record is gone: nothing to seal */
        return (long long)start;
      }
    }
  }
  /* written since by someone who keeps no stamp, or a record of unknown length: a writer
     whose lock file was replaced may be one of them, and what it writes is its own */
  if (s != nullptr && !flsem__lock_is_current(r->lock_name)) return LOG_STAMP_STALE;
  log_stamp__whole(s, r->id, size);
  return size;
}

void log_stamp__begin(log_record *r) {
  flsem_stamp *s = flsem__stamp();
  if (s == nullptr) return;
  log_stamp__whole(s, r->id, r->start);
  s->length = r->in_buffer ? r->used : FLSEM_LENGTH_UNKNOWN;
  s->second = r->second;
  s->in_flight = 1;
}

void log_stamp__written(log_record *r) {
  flsem_stamp *s = flsem__stamp();
  log_stamp__whole(s, r->id, r->start);
  if (s == nullptr) return;
  s->length = r->written;
  /* a record that follows a loss record in one write: two headers */
  s->records += r->second != 0 ? 2 : 1;
  s->counted = 1;
}

bool log_stamp__cut_back(log_record *r) {
  /* the record's bytes went out at the log's end, wherever that was: from its length now,
     what went out of them is where the record began (never before where it was thought to) */
  VEZ_FILE_FACTS now;
  if (VezFileFacts(r->fd, &now) && now.volume == r->id.volume && now.index == r->id.index &&
      now.size >= r->written && (long long)(now.size - r->written) > r->start)
    r->start = (long long)(now.size - r->written);
  if (sys__chsize(r->fd, r->start) != 0) return false;
  flsem_stamp *s = flsem__stamp();
  log_stamp__whole(s, r->id, r->start);
  if (s != nullptr) s->seal_unsealed = 0; /* nothing of it left to seal */
  return true;
}

uint32_t log_stamp__untold_mends(time_t *since) {
  flsem_stamp *s = flsem__stamp();
  uint32_t count = untold_here;
  time_t first = untold_here_since;
  if (s != nullptr && s->magic == FLSEM_STAMP_MAGIC && s->untold_mends > 0) {
    count += s->untold_mends;
    if (first == 0 || (time_t)s->first_mend < first) first = (time_t)s->first_mend;
  }
  if (since != nullptr) *since = first;
  return count;
}

void log_stamp__mends_told(void) {
  untold_here = 0;
  untold_here_since = 0;
  flsem_stamp *s = flsem__stamp();
  if (s != nullptr) {
    s->untold_mends = 0;
    s->first_mend = 0;
  }
}
