/*
** log_rec.cpp - the record in hand's buffer and its single write.
*/
#include "log_rec.h"

#include "log_format.h"
#include "log_stamp.h"
#include "log_tag.h"
#include "sys.h"

namespace {

/* no single write is asked for more than the system writes at once */
constexpr unsigned WRITE_MAX = 1u << 30;

bool write_all(log_record *r, const char *p, size_t n) {
  while (n > 0) {
    unsigned chunk = n > WRITE_MAX ? WRITE_MAX : (unsigned)n;
    int w = sys__write(r->fd, p, chunk);
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
    r->written += (unsigned)w;
  }
  return true;
}

/* room for need bytes in all: a larger buffer, or the buffered bytes written out */
void make_room(log_record *r, size_t need) {
  if (need <= r->cap) return;
  size_t cap = r->cap;
  while (cap < need && cap < LOG_REC_HEAP_MAX)
    cap *= 2;
  char *bigger = need <= cap ? static_cast<char *>(malloc(cap)) : nullptr;
  if (bigger == nullptr) {
    log_rec__flush(r, false);
    return;
  }
  memcpy(bigger, r->buf, r->used);
  if (r->buf != r->fixed) free(r->buf);
  r->buf = bigger;
  r->cap = cap;
}

} // namespace

void log_rec__begin(log_record *r, const char *path) {
  r->path = path;
  r->lock_name[0] = '\0';
  r->fd = -1;
  r->existing_only = false;
  r->held = nullptr;
  r->id = {};
  r->changes = 0;
  r->start = 0;
  r->buf = r->fixed;
  r->cap = LOG_REC_FIXED;
  r->used = 0;
  r->written = 0;
  r->second = 0;
  r->failed = r->started = r->in_buffer = r->telling_mends = false;
  r->headers = 0;
  r->seals.on = r->seals.broken = false;
  r->seals.entries = 0;
  r->seals.sidecar = log_sidecar();
  r->mended = r->rotation_failed = r->nested = 0;
  r->said = 0;
}

char *log_rec__line_room(log_record *r, size_t len) {
  make_room(r, r->used + len + LOG_FORMAT_LINE_END_LEN);
  return r->buf + r->used;
}

void log_rec__end_line(log_record *r, size_t len) {
  memcpy(r->buf + r->used + len, LOG_FORMAT_LINE_END, LOG_FORMAT_LINE_END_LEN);
  r->used += len + LOG_FORMAT_LINE_END_LEN;
}

void log_rec__line(log_record *r, const char *line, size_t len) {
  memcpy(log_rec__line_room(r, len), line, len);
  log_rec__end_line(r, len);
}

void log_rec__flush(log_record *r, bool last) {
  if (r->used == 0 || r->failed) {
    r->used = 0;
    return;
  }
  if (!r->started) {
    /* before its first byte goes out: where it begins, how long it is meant to be */
    r->started = true;
    r->in_buffer = last;
    log_stamp__begin(r);
    log_tag__begin(r);
  }
  log_tag__bytes(r, r->buf, r->used, r->written);
  bool first = r->written == 0;
  if (!write_all(r, r->buf, r->used))
    r->failed = true;
  else if (first)
    log_tag__find_place(r);
  r->used = 0;
}

void log_rec__release(log_record *r) {
  if (r->buf != r->fixed) free(r->buf);
  r->buf = r->fixed;
  r->cap = LOG_REC_FIXED;
  r->used = 0;
}
