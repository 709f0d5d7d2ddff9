/*
** log_file.cpp - the log record format and its file.
**
** A record's lines are formatted, CR LF and all, into one buffer and handed
** to the file in one write, opened for appending in binary mode: a record
** is stored as it was formatted, at the end of the log, whatever another
** writer does. The buffer is a fixed one for records of up to 4 KiB of
** text; a larger record takes a heap buffer of its size for that write.
** A write that fails or falls short (a full disk) cuts the file back to
** where the record began, and the record is counted as dropped.
**
** Where files may stay open (POSIX), a log is opened once and kept: each
** record looks once at what its name names now, so that a log moved aside
** or replaced by anyone (an older release's rotation, an operator) is let
** go and the name opened again before anything is written. With the lock
** file's stamp that is the whole of a record's checks: the lock (one call),
** that look, the write, the unlock.
**
** Before each write the stamp says where the record begins, how long it is
** meant to be and that its write is under way; after it, that it is
** whole. A writer killed inside its write leaves a torn record at any byte,
** a line end included, and the next writer knows it by the log's length:
** it cuts the torn record back (only when the bytes there are that
** record's own, nobody having written since) and tells the mend in the
** log, through the stamp, so that a mender killed in turn still gets its
** mend told by whoever writes next. A log that someone who keeps no stamp
** wrote (an older release, an operator) is never cut: where it does not
** end with a line end, the line is ended, so no header is glued to it.
*/
#include "log_file.h"

#include <stdio.h>

#include "flsem.h"
#include "log.h"
#include "log_chk.h"
#include "log_format.h"
#include "log_msg.h"
#include "log_seal.h"
#include "platform.h"
#include "shm.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source_name[] = "..\\..\\src\\log_file";
const char flsem_source[] = "..\\..\\src\\flsem";
/* the longest header: numbers of 11 characters, every shown name byte as "<xx>" */
constexpr int HEADER_SIZE = 400;
constexpr int LINE_SIZE = 192; /* a description or dump line */

/* every log is opened so: created when missing, never cut, written at its end as stored */
constexpr int LOG_OPEN_FLAGS = _O_CREAT | _O_RDWR | _O_APPEND | _O_BINARY;

/*
** 4 KiB of record text, each line end stored as CR LF: a header, a
** description of a few lines and a full dump of some 600 bytes fit without
** any allocation. A larger record is formatted into a heap buffer of its
** size, up to RECORD_HEAP_MAX; past that (or without the memory) it goes
** out in pieces, still under the lock and at the log's end.
*/
constexpr size_t RECORD_SIZE = 8192;
constexpr size_t RECORD_HEAP_MAX = (size_t)64 << 20;
/* no single write is asked for more than the system writes at once */
constexpr unsigned WRITE_MAX = 1u << 30;

/* times a lock file found replaced under its holder is taken again */
constexpr int LOCK_TAKES = 4;
/* logs kept open: as many as lock files are */
constexpr int KEPT_LOGS = 4;
/* open_locked's words that the lock turned out to be on a lock file no longer in use, and
   that descriptors kept were found taken by the host (the lock was given up with them) */
constexpr int LOCK_STALE = -100;
constexpr int DESCRIPTORS_TAKEN = -101;

struct kept_log {
  char path[LOG_CHK_NAME_SIZE];
  int fd = -1;
  VEZ_FILE_FACTS id;                  /* which file it is */
  HANDLE seal = INVALID_HANDLE_VALUE; /* its sidecar, once a record was sealed, */
  void *seal_view = nullptr;          /* mapped so far */
  uint64_t seal_mapped = 0;
  DWORD forks = 0; /* the fork count it was opened under */
  bool watched = false;
  DWORD seen = 0; /* the watches' count of changes when its name was last looked at */
  unsigned long used = 0;
};

/*
** All of this is the write path's, used under its lock (one record at a
** time in a process).
*/
kept_log kept[KEPT_LOGS];
unsigned long uses = 0;
uint32_t losses_seen = 0; /* flsem__descriptors_lost() when last looked at */

int fd = -1;              /* the log of the record in hand */
kept_log *held = nullptr; /* its kept entry; none where it is opened for this record only */
VEZ_FILE_FACTS log_id;    /* which file it is, and its length when the lock was taken */
char lock_name[LOG_CHK_NAME_SIZE];
char log_path[LOG_CHK_NAME_SIZE]; /* the log of the record in hand (and of lock_name) */
uint32_t time_field[2];
char record_fixed[RECORD_SIZE];
char *record = record_fixed;
size_t record_cap = RECORD_SIZE;
size_t record_used = 0;
long long record_start = 0; /* the log's length before this record */
unsigned long long record_written = 0;
uint64_t record_second = 0;    /* where a second header begins in it (after a loss record) */
bool record_failed = false;    /* a piece of it could not be written */
bool record_started = false;   /* its first bytes went out */
bool record_in_buffer = false; /* all of them at once: they are still in the buffer */
bool telling_mends = false;    /* it tells the mends not yet told */
/* mends where no stamp could keep them, told from here */
uint32_t untold_here = 0;
time_t untold_here_since = 0;

/* sealing: the record in hand's (its one or two headers' entries) */
DWORD watch_count = 0;    /* the watches' count at this record */
bool sealing = false;     /* records are sealed now */
bool seal_broken = false; /* this record's tag could not be made */
int headers = 0;          /* headers in the record in hand */
time_t header_times[2];   /* the times they show */
int entries = 0;          /* entries begun */
log_seal_entry entry[2];
uint64_t seal_base_seq; /* the chain before this record */
uint8_t seal_base_prev[LOG_SEAL_KEY];
/* the sidecar of the record in hand: the kept log's, or (files opened for each record) its
   own */
HANDLE seal_h = INVALID_HANDLE_VALUE;
void *seal_view = nullptr;
uint64_t seal_mapped = 0;
char check[65536]; /* a torn record read back */

/*
** Numbers as the record's formats show them, written straight into a line:
** every record has a dozen, and the C library's formatted printing cost
** more than all of a record's system calls together.
*/
const char hex_digits[] = "0123456789abcdef";

/* as printf's "%Nd" (right) or "%-Nd" (left): v in at least width columns */
int put_aligned(char *out, long long v, int width, bool left) {
  char digits[LOG_FORMAT_DECIMAL_MAX];
  int n = log_format__put_decimal(digits, v), pad = width > n ? width - n : 0;
  if (!left) memset(out, ' ', (size_t)pad);
  memcpy(out + (left ? 0 : pad), digits, (size_t)n);
  if (left) memset(out + n, ' ', (size_t)pad);
  return n + pad;
}

/* as "%02d" */
int put_two(char *out, int v) {
  if (v < 0 || v > 99) return log_format__put_decimal(out, v);
  out[0] = (char)('0' + v / 10);
  out[1] = (char)('0' + v % 10);
  return 2;
}

/* as "%03llx": at least three lowercase hex digits */
int put_hex_offset(char *out, unsigned long long v) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = hex_digits[v & 15];
    v >>= 4;
  } while (v != 0);
  int len = 0;
  for (int pad = 3 - n; pad > 0; pad--)
    out[len++] = '0';
  while (n > 0)
    out[len++] = digits[--n];
  return len;
}

bool write_all(const char *p, size_t n) {
  while (n > 0) {
    unsigned chunk = n > WRITE_MAX ? WRITE_MAX : (unsigned)n;
    int w = sys__write(fd, p, chunk);
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
    record_written += (unsigned)w;
  }
  return true;
}

/* the stamp as it should be for the log: its last record ended at size */
void stamp_whole(flsem_stamp *s, long long size) {
  if (s == nullptr) return;
  s->log_volume = log_id.volume;
  s->log_index = log_id.index;
  s->start = (uint64_t)size;
  s->length = 0;
  s->second = 0;
  s->in_flight = 0;
  s->version = FLSEM_STAMP_VERSION;
  s->magic = FLSEM_STAMP_MAGIC;
}

/* an entry begun for the record whose header is the index-th of the write, at offset within
   it; false where no key was to be had */
bool begin_entry(int index, unsigned long long offset) {
  log_seal_entry &e = entry[index];
  memset(&e, 0, sizeof e);
  e.type = LOG_SEAL_RECORD;
  e.time = (int64_t)header_times[index];
  e.utc_offset = log_seal__utc_offset(header_times[index]);
  e.seq = (index == 0 ? seal_base_seq : entry[0].seq) + 1;
  e.offset = (uint64_t)record_start + offset;
  memcpy(e.prev, index == 0 ? seal_base_prev : entry[0].tag, LOG_SEAL_KEY);
  entries = index + 1;
  return log_seal__key_for(header_times[index], &e.epoch, e.id) && log_seal__begin_tag();
}

/* the bytes [at, at + n) of the record in hand go into its tags */
void seal_bytes(const char *bytes, size_t n, unsigned long long at) {
  if (!sealing || seal_broken) return;
  if (entries == 2 || record_second == 0 || at + n <= record_second) {
    seal_broken = !log_seal__tag_data(bytes, n);
    return;
  }
  /* the first record (a loss record) ends inside: its tag ends, the next one begins */
  size_t first = record_second > at ? (size_t)(record_second - at) : 0;
  entry[0].length = record_second;
  seal_broken = !log_seal__tag_data(bytes, first) || !log_seal__end_tag(&entry[0], entry[0].tag) ||
                !begin_entry(1, record_second) || !log_seal__tag_data(bytes + first, n - first);
}

/* before the record's first byte goes out: where it begins, how long it is meant to be */
void begin_record(bool whole_in_buffer) {
  record_started = true;
  record_in_buffer = whole_in_buffer;
  flsem_stamp *s = flsem__stamp();
  if (s == nullptr) return;
  stamp_whole(s, record_start);
  s->length = whole_in_buffer ? record_used : FLSEM_LENGTH_UNKNOWN;
  s->second = record_second;
  s->in_flight = 1;
  if (sealing) {
    s->seal_unsealed = 1; /* until its entry is stored: else the next writer names it */
    seal_base_seq = s->seal_seq;
    memcpy(seal_base_prev, s->seal_prev, LOG_SEAL_KEY);
    seal_broken = !begin_entry(0, 0);
  }
}

/*
** Where a sealed record's first bytes went. Under its lock, where the log
** ended; but a writer still holding a lock file that was removed may have
** appended in between: the entries name the place the bytes are at (a
** tag already ended is made again), and so does the stamp.
*/
void find_own_place() {
  if (!VezKeepFilesOpen()) return; /* a held lock file cannot be removed there */
  long long start = sys__lseek(fd, 0, 1) - (long long)record_written;
  if (start < 0 || start == record_start) return;
  long long delta = start - record_start;
  record_start = start;
  for (int i = 0; i < entries; i++)
    entry[i].offset = (uint64_t)((long long)entry[i].offset + delta);
  if (entries == 2)
    seal_broken = record_second > record_used ||
                  !log_seal__tag_again(record, record_second, &entry[0], entry[0].tag);
  flsem_stamp *s = flsem__stamp();
  if (s != nullptr) s->start = (uint64_t)start;
}

/* hands the buffered bytes to the file */
void flush_record(bool last) {
  if (record_used == 0 || record_failed) {
    record_used = 0;
    return;
  }
  if (!record_started) begin_record(last);
  seal_bytes(record, record_used, record_written);
  bool first = record_written == 0;
  if (!write_all(record, record_used))
    record_failed = true;
  else if (first && sealing && !seal_broken)
    find_own_place();
  record_used = 0;
}

/* room for need bytes in all: a larger buffer, or the buffered bytes written out */
void make_room(size_t need) {
  if (need <= record_cap) return;
  size_t cap = record_cap;
  while (cap < need && cap < RECORD_HEAP_MAX)
    cap *= 2;
  char *bigger = need <= cap ? static_cast<char *>(malloc(cap)) : nullptr;
  if (bigger == nullptr) {
    flush_record(false);
    return;
  }
  memcpy(bigger, record, record_used);
  if (record != record_fixed) free(record);
  record = bigger;
  record_cap = cap;
}

void release_buffer() {
  if (record != record_fixed) free(record);
  record = record_fixed;
  record_cap = RECORD_SIZE;
  record_used = 0;
}

/* where a line of len bytes is formatted in place, room for its line end after it */
char *line_room(size_t len) {
  make_room(record_used + len + LOG_FORMAT_LINE_END_LEN);
  return record + record_used;
}

/* the line formatted there joins the record, with its stored line end */
void end_line(size_t len) {
  memcpy(record + record_used + len, LOG_FORMAT_LINE_END, LOG_FORMAT_LINE_END_LEN);
  record_used += len + LOG_FORMAT_LINE_END_LEN;
}

/* a line joins the record with its stored line end */
void write_line(const char *line, size_t len) {
  memcpy(line_room(len), line, len);
  end_line(len);
}

int byte_notation(char *out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  out[0] = '<';
  out[1] = hex[c >> 4];
  out[2] = hex[c & 15];
  out[3] = '>';
  return LOG_FORMAT_BYTE_NOTATION_LEN;
}

/* a short-form text line; one that could pass for another kind of line has its first byte
   in the "<xx>" notation */
void write_text_line(const char *line, int len) {
  if (!log_format__text_misleads(line, (size_t)len)) {
    write_line(line, (size_t)len);
    return;
  }
  char out[LINE_SIZE];
  int n = byte_notation(out, (unsigned char)line[0]);
  memcpy(out + n, line + 1, (size_t)len - 1);
  write_line(out, (size_t)(n + len - 1));
}

/* a name of the header, each byte that could break the line written as "<xx>" */
int put_name(char *out, int room, const char *name, size_t n, bool process) {
  int len = 0;
  for (size_t i = 0; i < n && len + LOG_FORMAT_BYTE_NOTATION_LEN < room; i++) {
    unsigned char c = (unsigned char)name[i];
    if (log_format__name_byte_escaped(c, process))
      len += byte_notation(out + len, c);
    else
      out[len++] = (char)c;
  }
  return len;
}

/* each byte's two hex digits and the character the full form shows for it, looked up */
struct dump_tables {
  char hex[256][2];
  char shown[256];
};
const dump_tables &tables() {
  static const dump_tables t = [] {
    dump_tables d;
    for (int b = 0; b < 256; b++) {
      d.hex[b][0] = hex_digits[b >> 4];
      d.hex[b][1] = hex_digits[b & 15];
      d.shown[b] = log_format__printable((unsigned char)b) ? (char)b : '.';
    }
    return d;
  }();
  return t;
}

/* a line's hex column for 8 bytes, "xx xx xx xx xx xx xx xx ", and their characters */
void dump_half(char *hex, char *chars, const unsigned char *bytes, int n, const dump_tables &t) {
  for (int j = 0; j < n; j++) {
    memcpy(hex + 3 * j, t.hex[bytes[j]], 2);
    chars[j] = t.shown[bytes[j]];
  }
}

void full_dump(const unsigned char *data, int count) {
  const dump_tables &t = tables();
  /* the offset is wider than the count: the last line's start plus a line never overflows */
  for (long long offset = 0; offset < count; offset += LOG_FORMAT_FULL_BYTES) {
    /* the offset ("%03x") and 73 spaces, then the bytes put into their columns: in place */
    char at[24];
    int digits = put_hex_offset(at, (unsigned long long)offset);
    /* offsets of five digits and more push the columns right, so one space always follows */
    int shift = digits > 4 ? digits - 4 : 0;
    int len = digits + 73 + shift;
    char *line = line_room((size_t)len);
    memcpy(line, at, (size_t)digits);
    if (digits == 3)
      memset(line + 3, ' ', 73); /* a line of the first 4 KiB: its length is known */
    else
      memset(line + digits, ' ', (size_t)(len - digits));
    int n = count - offset < LOG_FORMAT_FULL_BYTES ? (int)(count - offset) : LOG_FORMAT_FULL_BYTES;
    int first = n < 8 ? n : 8;
    const unsigned char *bytes = data + offset;
    dump_half(line + shift + 5, line + shift + 58, bytes, first, t);
    dump_half(line + shift + 31, line + shift + 67, bytes + 8, n - first, t);
    end_line((size_t)len);
  }
}

void short_dump(const unsigned char *data, int count) {
  int shown = count < LOG_FORMAT_SHORT_HEX_BYTES ? count : LOG_FORMAT_SHORT_HEX_BYTES;
  bool all_printable = true;
  char line[LINE_SIZE];
  int len = 0;
  line[len++] = '0';
  line[len++] = 'x';
  for (int i = 0; i < shown; i++) {
    line[len++] = hex_digits[data[i] >> 4];
    line[len++] = hex_digits[data[i] & 15];
    if (i % 4 == 3) line[len++] = ' ';
    all_printable = all_printable && log_format__printable(data[i]);
  }
  if (!all_printable) {
    write_line(line, (size_t)len);
    return;
  }
  /* all printable: the data as text, cut into lines of 75 characters */
  len = 0;
  for (int i = 0; i < count; i++) {
    if (!log_format__printable(data[i])) {
      /* from the first unprintable byte on, bytes in hex while the line has room */
      for (int j = i; j < count && len < LOG_FORMAT_TEXT_WIDTH; j++)
        len += byte_notation(line + len, data[j]);
      write_text_line(line, len);
      return;
    }
    line[len++] = (char)data[i];
    if (len == LOG_FORMAT_TEXT_WIDTH) {
      write_text_line(line, len);
      len = 0;
    }
  }
  if (len > 0) write_text_line(line, len);
}

/* a mend made: counted for the process, and kept to be told in the log */
void count_mend(flsem_stamp *s) {
  log_msg__drops.mended++;
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
bool torn_is_its_own(unsigned long long start, unsigned long long size, unsigned long long second) {
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

/* where someone who keeps no stamp left the log without a line end, the line is ended */
long long end_torn_line(long long size, flsem_stamp *s) {
  char last = '\n';
  if (size <= 0 || sys__lseek(fd, size - 1, 0) != size - 1 || sys__read(fd, &last, 1) != 1 ||
      last == '\n')
    return size;
  const char *end = last == '\r' ? "\n" : LOG_FORMAT_LINE_END;
  int n = (int)strlen(end);
  if (sys__write(fd, end, (unsigned)n) != n) return size;
  count_mend(s);
  return size + n;
}

/*
** The log's length once its end is whole, by what the stamp says of it;
** LOCK_STALE when it turns out that the lock was taken on a lock file no
** longer in use (then another writer may be at the log).
*/
long long mend_tail(long long size) {
  flsem_stamp *s = flsem__stamp();
  bool described = s != nullptr && s->magic == FLSEM_STAMP_MAGIC &&
                   s->log_volume == log_id.volume && s->log_index == log_id.index;
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
      if (!flsem__lock_is_current(lock_name)) return LOCK_STALE;
      if (torn_is_its_own(start, now, s->second) && sys__chsize(fd, (long long)start) == 0) {
        count_mend(s);
        stamp_whole(s, (long long)start);
        s->seal_unsealed = 0; /* the torn record is gone: nothing to seal */
        return (long long)start;
      }
    }
  }
  /* written since by someone who keeps no stamp, or a record of unknown length: a writer
     whose lock file was replaced may be one of them */
  if (s != nullptr && !flsem__lock_is_current(lock_name)) return LOCK_STALE;
  size = end_torn_line(size, s);
  stamp_whole(s, size);
  return size;
}

/* the log opened at its end, and which file it is; -1 when it cannot be, or is no file */
int open_log(const char *path) {
  int f = sys__open(path, LOG_OPEN_FLAGS, 0666);
  if (f < 0) return -1;
  if (VezKeepFilesOpen()) f = VezKeepDescriptor(f);
  if (!VezFileFacts(f, &log_id) || !log_id.regular) {
    /* a device or a pipe in the log's place could hold a writer up: never written */
    sys__close(f);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return f;
}

/* a sidecar let go: its view unmapped, its handle closed (or forgotten: no longer ours) */
void drop_sidecar(HANDLE *h, void **view, uint64_t *mapped, bool ours) {
  if (*view != nullptr) UnmapViewOfFile(*view);
  if (*h != INVALID_HANDLE_VALUE) {
    if (ours)
      CloseHandle(*h);
    else
      VezForgetHandle(*h);
  }
  *h = INVALID_HANDLE_VALUE;
  *view = nullptr;
  *mapped = 0;
}

void drop_kept(kept_log &k, bool ours) {
  if (ours && k.fd >= 0) sys__close(k.fd);
  drop_sidecar(&k.seal, &k.seal_view, &k.seal_mapped, ours);
  k.fd = -1;
  k.path[0] = '\0';
}

/* the kept log of path, or null; every one forgotten where the host took descriptors */
kept_log *kept_for(const char *path) {
  if (flsem__descriptors_lost() != losses_seen) {
    losses_seen = flsem__descriptors_lost();
    for (kept_log &k : kept)
      drop_kept(k, false);
    return nullptr;
  }
  for (kept_log &k : kept) {
    if (k.fd < 0 || strcmp(k.path, path) != 0) continue;
    if (k.forks != VezForkCount()) {
      drop_kept(k, true); /* a fork's child opens its own */
      return nullptr;
    }
    k.used = ++uses;
    return &k;
  }
  return nullptr;
}

kept_log *keep(const char *path, int f) {
  kept_log *slot = &kept[0];
  for (kept_log &k : kept) {
    if (k.fd < 0) {
      slot = &k;
      break;
    }
    if (k.used < slot->used) slot = &k;
  }
  drop_kept(*slot, true);
  snprintf(slot->path, sizeof slot->path, "%s", path);
  slot->fd = f;
  slot->id = log_id;
  slot->forks = VezForkCount();
  slot->used = ++uses;
  return slot;
}

/*
** The log at path open as fd, the one its name names now. Where nothing on
** the way to its name changed since it was last looked at (the watches say
** so in one call), the open log is looked at alone: that it is still this
** process's descriptor (a host may close and reuse descriptors), and its
** length. Otherwise the name is looked up, and the lock file's too (a lock
** file removed or replaced no longer keeps other writers out).
*/
int open_current(const char *path) {
  fd = -1;
  held = nullptr;
  if (!VezKeepFilesOpen()) {
    fd = open_log(path);
    return fd >= 0 ? 0 : LOG_FILE_OPEN_FAILED;
  }
  kept_log *k = kept_for(path);
  DWORD changes = VezWatchChanges();
  watch_count = changes;
  if (k != nullptr && k->watched && k->seen == changes) {
    VEZ_FILE_FACTS now;
    if (VezFileFacts(k->fd, &now) && now.volume == k->id.volume && now.index == k->id.index) {
      held = k;
      fd = k->fd;
      log_id = now;
      return 0;
    }
    /* closed or taken by the host: nothing kept is ours to use or close any more */
    drop_kept(*k, false);
    flsem__descriptors_taken();
    return DESCRIPTORS_TAKEN;
  }
  if (k != nullptr && k->watched && !flsem__lock_is_current(lock_name)) return LOCK_STALE;
  /* a name changed on the way: the sidecar is opened again by its name when next needed */
  if (k != nullptr) drop_sidecar(&k->seal, &k->seal_view, &k->seal_mapped, true);
  VEZ_FILE_FACTS named;
  bool there = VezFileFactsAtName(path, &named);
  if (k != nullptr && there && named.volume == k->id.volume && named.index == k->id.index) {
    held = k;
    fd = k->fd;
    log_id = named;
    k->seen = changes;
    return 0;
  }
  /* moved aside, removed or replaced since: the name is opened again */
  if (k != nullptr) drop_kept(*k, true);
  bool watched = VezWatchPath(path) != 0;
  fd = open_log(path);
  if (fd < 0) return LOG_FILE_OPEN_FAILED;
  held = keep(path, fd);
  held->watched = watched;
  held->seen = changes;
  return 0;
}

void close_current() {
  if (held == nullptr && fd >= 0) sys__close(fd);
  fd = -1;
  held = nullptr;
}

/* the sealing state's place: beside the data file, found as the library finds it */
const char *data_file_path() {
  static char path[SHM_PATH_SIZE];
  if (shm__data_file[0] != '\0') return shm__data_file;
  if (path[0] == '\0') shm__data_file_path(path);
  return path;
}

bool sidecar_name(char name[LOG_CHK_NAME_SIZE], const char *path, bool old) {
  return log_chk__derived_name(name, path, old ? ".old.seal" : LOG_SEAL_SUFFIX);
}

/* the sidecar of the record in hand let go (kept where files stay open) */
void end_sidecar() {
  if (held != nullptr) {
    held->seal = seal_h;
    held->seal_view = seal_view;
    held->seal_mapped = seal_mapped;
  } else {
    drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
  }
  seal_h = INVALID_HANDLE_VALUE;
  seal_view = nullptr;
  seal_mapped = 0;
}

/* the log a sidecar says it seals; false where it is no sidecar (or one begun) */
bool sidecar_owner(const char *name, uint64_t *volume, uint64_t *index) {
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

/* whether the file at the log's name with suffix is the one of that identity */
bool file_is(const char *path, const char *suffix, uint64_t volume, uint64_t index) {
  char name[LOG_CHK_NAME_SIZE];
  VEZ_FILE_FACTS at = {};
  return log_chk__derived_name(name, path, suffix) && VezFileFactsAtName(name, &at) &&
         at.volume == volume && at.index == index;
}

/*
** A sidecar taken off its name on its way to the old copy's name put where
** the log it seals is: beside the old copy, back at its name (the log's),
** or away (its log is gone). Whoever finds one there settles it: its mover
** may have died between the two moves.
*/
void settle_moving(const char *path) {
  char name[LOG_CHK_NAME_SIZE], old[LOG_CHK_NAME_SIZE], moving[LOG_CHK_NAME_SIZE];
  if (!sidecar_name(name, path, false) || !sidecar_name(old, path, true) ||
      !log_chk__derived_name(moving, path, LOG_SEAL_MOVING_SUFFIX))
    return;
  uint64_t volume = 0, index = 0;
  if (!sidecar_owner(moving, &volume, &index)) {
    /* none, or one begun and taken before its header was written: back, or away */
    if (!MoveFileExA(moving, name, 0)) _unlink(moving);
    return;
  }
  if (file_is(path, ".old", volume, index)) {
    if (VezKeepFilesOpen()) _unlink(old);
    MoveFileExA(moving, old, MOVEFILE_REPLACE_EXISTING);
  } else if (!file_is(path, "", volume, index) || !MoveFileExA(moving, name, 0)) {
    _unlink(moving);
  }
}

/*
** The sidecar at the log's name moved aside to the old copy's name, after
** a rotation (or where it seals another log than the one at the name). It
** is taken off its name first (one mover gets it) and then put where the
** log it seals is: where a lock file was removed, another writer may have
** moved it already and begun the new log's in between.
*/
void move_sidecar(const char *path) {
  char name[LOG_CHK_NAME_SIZE], moving[LOG_CHK_NAME_SIZE];
  drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
  if (held != nullptr) drop_sidecar(&held->seal, &held->seal_view, &held->seal_mapped, true);
  if (!sidecar_name(name, path, false) ||
      !log_chk__derived_name(moving, path, LOG_SEAL_MOVING_SUFFIX))
    return;
  for (int tries = 0; tries < 2; tries++) {
    if (MoveFileExA(name, moving, 0)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS || tries > 0) return;
    settle_moving(path); /* one left by a mover that died */
  }
  settle_moving(path);
}

/*
** Entries are stored through a mapping of the sidecar, grown ahead (to
** twice its size, from SEAL_CHUNK entries, by SEAL_STEP entries at most):
** no system call a record. The part of the file past the last entry is
** zeros. A slot is taken by swapping its type from none to
** LOG_SEAL_CLAIMED, and its type is stored last: two writers at once (one
** still holding a lock file that was removed) never store into one slot,
** and a slot whose writer died in the middle of storing is passed over.
*/
constexpr uint64_t SEAL_CHUNK = 256;
constexpr uint64_t SEAL_STEP = 65536;
constexpr uint64_t SEAL_HEADER = sizeof(log_seal_header);
constexpr uint64_t SEAL_ENTRY = sizeof(log_seal_entry);

log_seal_entry *entry_at(uint64_t index) {
  return reinterpret_cast<log_seal_entry *>(static_cast<char *>(seal_view) + SEAL_HEADER +
                                            index * SEAL_ENTRY);
}

/* the sidecar mapped over at least need bytes (the file grown to whole chunks) */
bool map_sidecar(uint64_t need) {
  if (seal_view != nullptr && need <= seal_mapped && !VezViewLost(seal_view)) return true;
  if (seal_view != nullptr) UnmapViewOfFile(seal_view);
  seal_view = nullptr;
  seal_mapped = 0;
  DWORD high = 0;
  DWORD low = GetFileSize(seal_h, &high);
  uint64_t size = low == INVALID_FILE_SIZE ? 0 : ((uint64_t)high << 32) | low;
  uint64_t want = size;
  if (want < need) {
    uint64_t more = size < SEAL_CHUNK * SEAL_ENTRY  ? SEAL_CHUNK * SEAL_ENTRY
                    : size > SEAL_STEP * SEAL_ENTRY ? SEAL_STEP * SEAL_ENTRY
                                                    : size;
    want = size + more < need ? need : size + more;
  }
  HANDLE m = CreateFileMappingA(seal_h, nullptr, PAGE_READWRITE, (DWORD)(want >> 32), (DWORD)want,
                                nullptr);
  if (m == nullptr) return false;
  static const unsigned char none[1] = {0};
  VezSetMappingFallback(m, none, 0); /* a sidecar cut under the view reads as zeros */
  seal_view = MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, (size_t)want);
  CloseHandle(m);
  if (seal_view == nullptr) return false;
  seal_mapped = want;
  return true;
}

/* entries stored after index count: the first whose type is none (a new lock file's stamp
   does not know the count) */
uint64_t count_entries() {
  uint64_t n = 0;
  while (SEAL_HEADER + (n + 1) * SEAL_ENTRY <= seal_mapped && entry_at(n)->type != 0)
    n++;
  return n;
}

/* the chain goes on from an entry */
void chain_from(flsem_stamp *st, const log_seal_entry *e) {
  st->seal_seq = e->seq;
  memcpy(st->seal_prev, e->tag, LOG_SEAL_KEY);
  memcpy(st->seal_id, e->id, LOG_SEAL_ID);
}

/*
** The last entry beside the old copy: where the chain goes on from in a new
** log's sidecar. The sidecar is read, not mapped (it is no longer written
** to).
*/
bool old_chain_end(const char *path, log_seal_entry *out) {
  char name[LOG_CHK_NAME_SIZE];
  if (!sidecar_name(name, path, true)) return false;
  int f = sys__open(name, _O_RDONLY | _O_BINARY, 0);
  if (f < 0) return false;
  log_seal_header h;
  long long size = sys__lseek(f, 0, 2);
  bool ok = size >= (long long)(SEAL_HEADER + SEAL_ENTRY) && sys__lseek(f, 0, 0) == 0 &&
            sys__read(f, &h, sizeof h) == (int)sizeof h &&
            memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) == 0 &&
            h.entry_size == SEAL_ENTRY;
  /* entries fill the slots up to the first whose type is none: found by halving */
  uint64_t lo = 0, hi = ok ? ((uint64_t)size - SEAL_HEADER) / SEAL_ENTRY : 0;
  auto type_at = [&](uint64_t i) {
    uint32_t type = 0;
    long long at = (long long)(SEAL_HEADER + i * SEAL_ENTRY);
    if (sys__lseek(f, at, 0) != at || sys__read(f, &type, sizeof type) != (int)sizeof type)
      return 0u;
    return type;
  };
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (type_at(mid) != 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  bool found = false;
  for (uint64_t i = lo; i-- > 0 && !found;) {
    long long at = (long long)(SEAL_HEADER + i * SEAL_ENTRY);
    if (sys__lseek(f, at, 0) != at || sys__read(f, out, sizeof *out) != (int)sizeof *out) break;
    found = out->type == LOG_SEAL_RECORD || out->type == LOG_SEAL_ORPHAN;
  }
  sys__close(f);
  return found;
}

void chain_from_old(const char *path, flsem_stamp *st) {
  log_seal_entry e;
  if (old_chain_end(path, &e)) chain_from(st, &e);
}

/* whether the file at the log's name with suffix is the log in hand */
bool same_file(const char *path, const char *suffix) {
  return file_is(path, suffix, log_id.volume, log_id.index);
}

/* whether the stamp keeps a chain (a new lock file's does not) */
bool chain_kept(const flsem_stamp *st) {
  for (uint8_t b : st->seal_id)
    if (b != 0) return true;
  return false;
}

/* the count as the sidecar has it, where the stamp kept none (or another's), and the chain
   from its last entry */
void count_from_sidecar(const char *path, flsem_stamp *st) {
  bool kept = chain_kept(st);
  uint64_t n = count_entries();
  if (!kept || st->seal_count > n + 1) st->seal_count = n;
  if (kept) return;
  uint64_t i = n;
  while (i > 0 && entry_at(i - 1)->type == LOG_SEAL_CLAIMED)
    i--;
  if (i > 0)
    chain_from(st, entry_at(i - 1));
  else
    chain_from_old(path, st);
}

/*
** Where the seals of the log in hand are, now that it was moved aside to
** the old copy's name: beside it, or still on their way there.
*/
bool seals_moved_with(const char *path, char name[LOG_CHK_NAME_SIZE]) {
  if (!same_file(path, ".old")) return false;
  uint64_t volume = 0, index = 0;
  if (log_chk__derived_name(name, path, LOG_SEAL_MOVING_SUFFIX) &&
      sidecar_owner(name, &volume, &index) && volume == log_id.volume && index == log_id.index)
    return true;
  return sidecar_name(name, path, true);
}

/*
** The sidecar of the log in hand, mapped; false where none is to be had or
** the file at its name is none (said once). One of another log (left
** beside this one by a writer that died between moving a log and its
** sidecar, or by a release that keeps none) is moved on to the ".old" name
** first. Where the stamp keeps no chain (a new lock file), the chain goes
** on from the last entry.
*/
bool open_sidecar(const char *path, flsem_stamp *st) {
  if (held != nullptr && held->seal != INVALID_HANDLE_VALUE) {
    seal_h = held->seal;
    seal_view = held->seal_view;
    seal_mapped = held->seal_mapped;
    held->seal = INVALID_HANDLE_VALUE;
    held->seal_view = nullptr;
    if (!chain_kept(st)) count_from_sidecar(path, st);
    return true;
  }
  char name[LOG_CHK_NAME_SIZE];
  if (!sidecar_name(name, path, false)) return false;
  bool at_old = false; /* name is the old copy's sidecar */
  for (int tries = 0; tries < 3; tries++) {
    seal_h = VezKeepFilesOpen()
                 ? VezOpenKeptFile(name)
                 : CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (seal_h == INVALID_HANDLE_VALUE || !map_sidecar(SEAL_HEADER + SEAL_ENTRY)) {
      drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
      return false;
    }
    log_seal_header *h = static_cast<log_seal_header *>(seal_view);
    bool fresh = true;
    for (size_t i = 0; i < sizeof h->magic; i++)
      fresh = fresh && h->magic[i] == 0;
    if (fresh && !at_old && !same_file(path, "")) {
      /* made beside a log that is no longer this one (moved aside under a writer that still
         held a lock file that was removed): its seals go beside it where it went; the empty
         file is the next log's to take */
      drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
      if (!seals_moved_with(path, name)) return false;
      at_old = true;
      continue;
    }
    if (fresh) {
      if (!at_old) settle_moving(path); /* the old copy's, where its mover died on the way */
      log_seal_header made = {};
      made.version = 1;
      made.entry_size = (uint32_t)SEAL_ENTRY;
      made.log_volume = log_id.volume;
      made.log_index = log_id.index;
      memcpy(h, &made, sizeof made);
      memcpy(h->magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h->magic); /* last: a whole header */
      st->seal_count = 0;
      if (!chain_kept(st)) chain_from_old(path, st);
      return true;
    }
    if (memcmp(h->magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h->magic) != 0 || h->version != 1 ||
        h->entry_size != SEAL_ENTRY) {
      drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
      static bool said = false;
      if (!said)
        log__defer_error(source_name, 400, "Seal file is no seal file, records not sealed", name,
                         (int)strlen(name));
      said = true;
      return false;
    }
    if (h->log_volume != log_id.volume || h->log_index != log_id.index) {
      drop_sidecar(&seal_h, &seal_view, &seal_mapped, true);
      if (!at_old && same_file(path, "")) {
        move_sidecar(path); /* a stray beside this log: moved on */
        continue;
      }
      /* this log was moved aside under a writer that still held a lock file that was
         removed: its seals go beside it */
      if (at_old || !seals_moved_with(path, name)) return false;
      at_old = true;
      continue;
    }
    count_from_sidecar(path, st);
    return true;
  }
  return false;
}

/* the entry stored last before slot at; a slot taken and not filled for long (its writer
   died) is passed over */
bool stored_before(uint64_t at, log_seal_entry *out) {
  for (uint64_t i = at; i-- > 0;) {
    const log_seal_entry *e = entry_at(i);
    uint32_t type = __atomic_load_n(&e->type, __ATOMIC_ACQUIRE);
    for (int spins = 0; type == LOG_SEAL_CLAIMED && spins < 100000; spins++)
      type = __atomic_load_n(&e->type, __ATOMIC_ACQUIRE);
    if (type == LOG_SEAL_RECORD || type == LOG_SEAL_ORPHAN) {
      memcpy(out, e, sizeof *out);
      return true;
    }
  }
  return false;
}

/*
** The chain as the sidecars have it. Under its lock a writer's entries
** follow the one stored last, as its stamp says; where another writer
** stored one in between (it still held a lock file that was removed, or
** its seals went beside the old copy), the entries are made again to
** follow that one, from the record's bytes where they are still at hand.
** Else the two chains stay forked, which a verifier names.
*/
void follow_chain(const char *path, uint64_t at, log_seal_entry *e, int n, const char *bytes) {
  log_seal_entry before;
  if (bytes == nullptr || !(at > 0 ? stored_before(at, &before) : old_chain_end(path, &before)))
    return;
  if (before.seq + 1 == e[0].seq && memcmp(before.tag, e[0].prev, LOG_SEAL_KEY) == 0) return;
  for (int i = 0; i < n; i++) {
    const log_seal_entry &prior = i == 0 ? before : e[i - 1];
    log_seal_entry again = e[i];
    again.seq = prior.seq + 1;
    memcpy(again.prev, prior.tag, LOG_SEAL_KEY);
    if (!log_seal__tag_again(bytes + (again.offset - (uint64_t)record_start), (size_t)again.length,
                             &again, again.tag))
      return;
    e[i] = again;
  }
}

/* entries stored at the end of the sidecar (bytes: the record's, where they are at hand);
   the stamp's chain goes on from the last */
bool store_entries(const char *path, flsem_stamp *st, log_seal_entry *e, int n, const char *bytes) {
  if (seal_h == INVALID_HANDLE_VALUE && !open_sidecar(path, st)) return false;
  uint64_t at = st->seal_count;
  for (int i = 0; i < n; i++) {
    log_seal_entry *slot = nullptr;
    for (;; at++) {
      if (!map_sidecar(SEAL_HEADER + (at + 1) * SEAL_ENTRY)) return false;
      slot = entry_at(at);
      uint32_t none = 0;
      if (__atomic_compare_exchange_n(&slot->type, &none, LOG_SEAL_CLAIMED, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE))
        break;
    }
    if (i == 0) follow_chain(path, at, e, n, bytes);
    memcpy(reinterpret_cast<char *>(slot) + sizeof slot->type,
           reinterpret_cast<const char *>(&e[i]) + sizeof e[i].type, SEAL_ENTRY - sizeof e[i].type);
    __atomic_store_n(&slot->type, e[i].type, __ATOMIC_RELEASE);
    at++;
  }
  st->seal_count = at;
  chain_from(st, &e[n - 1]);
  st->seal_unsealed = 0;
  return true;
}

/*
** A record its writer left without its entry (it died between the two, or
** could not store it) is named in the sidecar by the next writer: sealed by
** it, as a record left by a writer that died, never as its own.
*/
void seal_orphan(const char *path, long long size) {
  flsem_stamp *st = flsem__stamp();
  if (st == nullptr || !st->seal_unsealed) return;
  bool whole = st->magic == FLSEM_STAMP_MAGIC && st->log_volume == log_id.volume &&
               st->log_index == log_id.index && !st->in_flight && st->length > 0 &&
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
      sys__lseek(fd, (long long)e.offset, 0) != (long long)e.offset)
    return;
  for (uint64_t done = 0; done < e.length;) {
    unsigned n = e.length - done < sizeof check ? (unsigned)(e.length - done) : sizeof check;
    if (sys__read(fd, check, n) != (int)n || !log_seal__tag_data(check, n)) return;
    done += n;
  }
  if (log_seal__end_tag(&e, e.tag)) store_entries(path, st, &e, 1, nullptr);
  end_sidecar();
}

/* the record just written sealed, its entries stored; a failure leaves it for the next
   writer to name */
void seal_record(const char *path) {
  flsem_stamp *st = flsem__stamp();
  if (!sealing || seal_broken || entries == 0 || st == nullptr) return;
  log_seal_entry &last = entry[entries - 1];
  last.length = record_written - (last.offset - (uint64_t)record_start);
  if (log_seal__end_tag(&last, last.tag))
    store_entries(path, st, entry, entries, record_in_buffer ? record : nullptr);
  end_sidecar();
}

/* a new lock file keeps no chain: the record in hand goes on from the sidecar's last entry
   (or its old copy's), found before its entry is begun */
void find_chain(const char *path) {
  flsem_stamp *st = flsem__stamp();
  if (sealing && st != nullptr && !chain_kept(st) && seal_h == INVALID_HANDLE_VALUE)
    open_sidecar(path, st);
}

/* with the lock held: the log open at its end, whole, rotated when full */
int open_locked(const char *path, int max_size) {
  int rc = open_current(path);
  if (rc != 0) return rc;
  long long size = mend_tail((long long)log_id.size);
  if (size == LOCK_STALE) {
    close_current();
    return LOCK_STALE;
  }
  bool report = false;
  sealing =
      log_seal__active(data_file_path(), watch_count, held != nullptr && held->watched, &report);
  if (report)
    log__defer_error(source_name, 410, "Sealing state cannot be read, records not sealed",
                     data_file_path(), (int)strlen(data_file_path()));
  if (sealing) seal_orphan(path, size);
  rc = log_chk__check_log_file_size(path, fd, max_size, size, flsem__lock_wait());
  if (rc == LOG_CHK_WITHIN_LIMIT || rc == LOG_CHK_BUSY) {
    /* a log whose own lock another holds is written on past its limit, moved aside later */
    if (rc == LOG_CHK_BUSY) log_msg__drops.rotation_failed++;
    record_start = size;
    find_chain(path);
    return 0;
  }
  /* the check closed the log: it is opened again, new or (where it could not be moved) full;
     a log this writer moved takes its sidecar along */
  if (rc == LOG_CHK_ROTATED) {
    move_sidecar(path);
    flsem_stamp *st = flsem__stamp();
    if (st != nullptr) st->rotations++;
  }
  if (held != nullptr) held->fd = -1;
  held = nullptr;
  fd = -1;
  if (rc != LOG_CHK_ROTATED && rc != LOG_CHK_MOVED_ALREADY) {
    /* the full log is kept and written on past its limit: a lost record could not be
       brought back, an oversized log can still be rotated once the move works */
    log_msg__drops.rotation_failed++;
    if (rc == LOG_CHK_RENAME_FAILED)
      log__defer_error(source_name, 255, "Log file reach max, copy failed, writing on", path,
                       (int)strlen(path));
  }
  rc = open_current(path);
  if (rc != 0) return rc;
  record_start = (long long)log_id.size;
  stamp_whole(flsem__stamp(), record_start);
  find_chain(path);
  return 0;
}

/* the lock released, and what its release met told after the record in hand */
int release_lock() {
  int rc = flsem__signal_file_lock_sem();
  if (rc == FLSEM_NOT_HELD)
    log__defer_error(flsem_source, 282, "Trying to release unallocated semaphore", nullptr, 0);
  else if (rc == FLSEM_CLOSE_FAILED)
    log__defer_error(flsem_source, 250, "Sempaphore unlock failed", nullptr, 0);
  else if (*log__audit_level >= 15)
    log_msg__drops.nested++; /* its audit would be raised inside the record: dropped */
  return rc;
}

} // namespace

int log_file__open_log_file(const char *path, int max_size) {
  return log_file__open_log_file_waiting(path, max_size, flsem__lock_wait());
}

int log_file__open_log_file_waiting(const char *path, int max_size, uint32_t wait) {
  /* a path left without its file name (its directory took all the room) names no log:
     no lock file is made beside it */
  size_t length = strlen(path);
  if (length == 0 || path[length - 1] == VEZ_DIRSEP_CHAR) return LOG_FILE_OPEN_FAILED;
  /* the lock file's name, made again only for another log than the last one's */
  if (strcmp(path, log_path) != 0) {
    log_path[0] = '\0';
    if (!log_chk__derived_name(lock_name, path, ".lok")) return LOG_FILE_LOCK_FAILED;
    snprintf(log_path, sizeof log_path, "%s", path);
  }
  record_used = 0;
  record_failed = false;
  record_started = false;
  record_written = 0;
  record_second = 0;
  telling_mends = false;
  headers = 0;
  entries = 0;
  seal_broken = false;
  for (int take = 1;; take++) {
    int rc = flsem__take_file_lock(lock_name, wait);
    if (rc == FLSEM_ALREADY_HELD)
      log__defer_error(flsem_source, 195, "Cannot open multiple semaphore files", nullptr, 0);
    if (rc == FLSEM_OPEN_FAILED) return LOG_FILE_OPEN_FAILED;
    if (rc != 0) return LOG_FILE_LOCK_FAILED;
    rc = open_locked(path, max_size);
    if (rc == 0) return 0;
    /* a lock kept after a failed open would refuse every later record; a lock file found
       no longer at its name is let go, to be opened again by its name */
    if (rc == LOCK_STALE)
      flsem__release_stale();
    else if (rc != DESCRIPTORS_TAKEN)
      release_lock();
    if (rc == DESCRIPTORS_TAKEN) rc = LOCK_STALE;
    /* a lock file removed or replaced (by a cleaner, an operator) while it was taken no
       longer keeps the other writers out: the lock is taken again on the file now there */
    if (rc != LOCK_STALE) return rc;
    if (take == LOCK_TAKES) return LOG_FILE_LOCK_FAILED;
  }
}

void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code) {
  (void)kind; /* the format is the same for every log */
  /* a header after the first (the record after its loss record) is where the stamp says */
  if (record_second == 0 && record_written + record_used > 0)
    record_second = record_written + record_used;
  time_t now = timelib__get_unix_time();
  if (headers < 2) header_times[headers++] = now;
  timelib__timedate_dow_at(now, time_field);
  int hour = (int)(time_field[0] & 0xff), minute = (int)((time_field[0] >> 8) & 0xff);
  int second = (int)((time_field[0] >> 16) & 0xff);
  int month = (int)(time_field[1] >> 24), day = (int)((time_field[1] >> 16) & 0xff);

  /* "------MM/DD hh:mm:ss  %2d/%-2d err:%-2d  ": the numbers take the room they need, and the
     buffer has room for the widest of each */
  char buf[HEADER_SIZE];
  int len = 0;
  memcpy(buf, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN);
  len += LOG_FORMAT_MARK_LEN;
  len += put_two(buf + len, month);
  buf[len++] = '/';
  len += put_two(buf + len, day);
  buf[len++] = ' ';
  len += put_two(buf + len, hour);
  buf[len++] = ':';
  len += put_two(buf + len, minute);
  buf[len++] = ':';
  len += put_two(buf + len, second);
  buf[len++] = ' ';
  buf[len++] = ' ';
  len += put_aligned(buf + len, message_level, 2, false);
  buf[len++] = '/';
  len += put_aligned(buf + len, configured_level, 2, true);
  memcpy(buf + len, " err:", 5);
  len += 5;
  len += put_aligned(buf + len, error_code, 2, true);
  buf[len++] = ' ';
  buf[len++] = ' ';
  if (process == nullptr) process = "";
  if (source == nullptr) source = "";
  size_t name_len = strnlen(process, LOG_FORMAT_PROCESS_SHOWN), source_len = strlen(source);
  len += put_name(buf + len, HEADER_SIZE - len, process, name_len, true);
  bool cut = source_len + name_len > (size_t)LOG_FORMAT_ORIGIN_WIDTH;
  size_t shown = cut ? LOG_FORMAT_ORIGIN_WIDTH - 1 - name_len : source_len;
  buf[len++] = '(';
  if (cut) buf[len++] = '<';
  /* the source's room keeps space for the line number after it */
  len += put_name(buf + len, HEADER_SIZE - len - 16, source + source_len - shown, shown, false);
  buf[len++] = ':';
  len += log_format__put_decimal(buf + len, line);
  buf[len++] = ')';
  write_line(buf, (size_t)len);
}

/*
** "Desc:" and the description in lines of LOG_FORMAT_DESC_WIDTH characters,
** each after the first indented by five spaces. A line break in the
** description (LF, CR LF or a lone CR) starts such a continuation line too,
** so that only a header can begin a line with the record mark: no text a
** caller logs can pass for a record of its own. A reader tells the two
** apart by length: a full line was cut, a shorter one ended at a break (a
** piece that fills its last line exactly is followed by an empty line).
*/
void log_file__write_description(const char *description) {
  if (description == nullptr) description = "";
  const char *lead = LOG_FORMAT_DESC;
  char buf[LINE_SIZE];
  for (const char *piece = description;;) {
    size_t total = strcspn(piece, "\r\n"), done = 0;
    bool broken = piece[total] != '\0';
    do {
      size_t n = total - done < (size_t)LOG_FORMAT_DESC_WIDTH ? total - done
                                                              : (size_t)LOG_FORMAT_DESC_WIDTH;
      memcpy(buf, lead, LOG_FORMAT_LEAD_LEN);
      memcpy(buf + LOG_FORMAT_LEAD_LEN, piece + done, n);
      write_line(buf, LOG_FORMAT_LEAD_LEN + n);
      lead = LOG_FORMAT_CONTINUATION;
      done += n;
    } while (done < total);
    if (!broken) break;
    if (total > 0 && total % LOG_FORMAT_DESC_WIDTH == 0)
      write_line(LOG_FORMAT_CONTINUATION, LOG_FORMAT_LEAD_LEN);
    piece += total;
    piece += piece[0] == '\r' && piece[1] == '\n' ? 2 : 1;
  }
}

void log_file__write_hex_dump(const void *data, int count, const AuditInfo *settings) {
  if (count <= 0 || data == nullptr) return;
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  if (settings->hex_dumps == 1)
    full_dump(bytes, count);
  else
    short_dump(bytes, count);
}

uint32_t log_file__untold_mends(time_t *since) {
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

void log_file__tell_mends(void) { telling_mends = true; }

int log_file__close_log_file(void) {
  flush_record(true);
  bool failed = record_failed;
  flsem_stamp *s = flsem__stamp();
  /* still under the lock: a record that did not go out whole is cut back to its start */
  if (failed) {
    sys__chsize(fd, record_start);
    stamp_whole(s, record_start);
    if (s != nullptr) s->seal_unsealed = 0; /* nothing of it left to seal */
  } else if (record_started) {
    stamp_whole(s, record_start);
    if (s != nullptr) s->length = record_written;
    seal_record(log_path); /* the record's bytes still in the buffer */
  }
  release_buffer();
  if (!failed && telling_mends) {
    untold_here = 0;
    untold_here_since = 0;
    if (s != nullptr) {
      s->untold_mends = 0;
      s->first_mend = 0;
    }
  }
  close_current();
  record_failed = false;
  int rc = release_lock();
  return failed ? LOG_FILE_WRITE_FAILED : rc;
}
